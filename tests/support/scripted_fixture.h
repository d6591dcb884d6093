#pragma once

// GoogleTest support for tests on the scripted platform: a fixture that installs a fresh
// scripted backend and, after each test, waits for the platform's workers to go idle and
// checks that no platform object is left alive; and an environment that joins the
// platform's threads after the last test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <vector>

#include "platform/backends/scripted/scripted_backend.h"
#include "platform/model/block_buffer.h"
#include "platform/model/object.h"
#include "platform/model/sample_buffer.h"
#include "platform/runtime/runtime.h"

namespace platform::scripted {

// The platform's name for objects of `kind`.
inline const char* kind_name(Kind kind) {
    static constexpr const char* NAMES[] = {"SCShareableContent",
                                            "SCDisplay",
                                            "SCWindow",
                                            "SCRunningApplication",
                                            "SCContentFilter",
                                            "SCStreamConfiguration",
                                            "SCStream",
                                            "DispatchQueue",
                                            "CMSampleBuffer",
                                            "CMBlockBuffer",
                                            "NSError",
                                            "SCStreamOutput",
                                            "SCStreamDelegate"};
    static_assert(std::size(NAMES) == static_cast<std::size_t>(Kind::Count));
    return NAMES[static_cast<std::size_t>(kind)];
}

// Expects no live platform object, naming each kind that has some.
inline void expect_no_live_objects() {
    platform::wait_idle();
    for (std::size_t k = 0; k < static_cast<std::size_t>(Kind::Count); ++k) {
        const auto kind = static_cast<Kind>(k);
        EXPECT_EQ(live_objects(kind), 0u) << "live " << kind_name(kind) << " objects";
    }
    EXPECT_EQ(live_objects_total(), 0u);
}

class ScriptedPlatformTest : public ::testing::Test {
protected:
    void SetUp() override { backend = ScriptedBackend::install(); }
    void TearDown() override {
        platform::wait_idle();
        platform::install_backend(nullptr);
        backend.reset();
        expect_no_live_objects();
    }

    std::shared_ptr<ScriptedBackend> backend;
};

// A block buffer holding a copy of bytes.
inline Ref<CMBlockBuffer> block_with_bytes(std::span<const std::byte> bytes) {
    auto block = CMBlockBuffer::create(bytes.size());
    if (!bytes.empty()) std::memcpy(block->data(), bytes.data(), bytes.size());
    return block;
}

// One buffer of interleaved 32-bit float frames, copied.
inline Ref<CMSampleBuffer> interleaved_float_buffer(std::span<const float> samples,
                                                    std::uint32_t channels,
                                                    std::int64_t sample_rate) {
    const auto block = block_with_bytes(std::as_bytes(samples));
    return CMSampleBuffer::createInterleavedFloat(block.get(), samples.size_bytes(), channels,
                                                  sample_rate);
}

// One buffer per channel of 32-bit float samples, copied into one block; the shortest
// channel sets the frame count.
inline Ref<CMSampleBuffer> planar_float_buffer(std::span<const std::span<const float>> channels,
                                               std::int64_t sample_rate) {
    std::size_t frames = channels.empty() ? 0 : channels.front().size();
    for (const auto& channel : channels) frames = std::min(frames, channel.size());
    const std::size_t plane_bytes = frames * sizeof(float);
    const auto block = CMBlockBuffer::create(plane_bytes * channels.size());
    std::vector<AudioBufferLayout> layout;
    for (std::size_t c = 0; c < channels.size(); ++c) {
        if (plane_bytes != 0)
            std::memcpy(block->data() + c * plane_bytes, channels[c].data(), plane_bytes);
        layout.push_back({1, static_cast<std::uint32_t>(plane_bytes), c * plane_bytes});
    }
    return CMSampleBuffer::createAudio(block.get(), std::move(layout), sample_rate,
                                       static_cast<std::int64_t>(frames));
}

class PlatformShutdownEnvironment : public ::testing::Environment {
public:
    void TearDown() override { platform::shutdown(); }
};

inline ::testing::Environment* const PLATFORM_SHUTDOWN_ENVIRONMENT =
    ::testing::AddGlobalTestEnvironment(new PlatformShutdownEnvironment);

}  // namespace platform::scripted
