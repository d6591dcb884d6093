#include "src/audio_output_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <expected>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "capture/bridge/handles.h"
#include "platform/model/platform.h"
#include "tests/support/scripted_fixture.h"

namespace {

using capture::SCStreamOutputType;
using platform::AudioBufferLayout;
using platform::CMBlockBuffer;
using Samples = std::vector<std::int16_t>;

// Keeps every sequence it is given; can be told to fail by value or by exception.
struct RecordingWriter {
    struct Log {
        std::vector<Samples> writes;
        bool refuse = false;
        bool throw_on_write = false;
        // A block buffer to look at while writing, and the references it had then.
        const CMBlockBuffer* watched = nullptr;
        std::size_t watched_references = 0;
    };
    std::shared_ptr<Log> log = std::make_shared<Log>();

    std::expected<void, std::string> write_pcm_i16(std::span<const std::int16_t> samples) {
        if (log->watched != nullptr) log->watched_references = log->watched->retain_count();
        if (log->throw_on_write) throw std::runtime_error("disk on fire");
        log->writes.emplace_back(samples.begin(), samples.end());
        if (log->refuse) return std::unexpected("refused");
        return {};
    }
};

using RecordingSlot = helper::BasicWriterSlot<RecordingWriter>;

platform::Ref<platform::CMSampleBuffer> interleaved(const std::vector<float>& samples,
                                                    std::uint32_t channels) {
    return platform::scripted::interleaved_float_buffer(samples, channels, 48000);
}

// Buffers laid out one after another in one block, each `floats[i]` samples long.
platform::Ref<platform::CMSampleBuffer> planar(const std::vector<std::vector<float>>& planes) {
    std::vector<std::byte> bytes;
    std::vector<AudioBufferLayout> layout;
    for (const auto& plane : planes) {
        layout.push_back({1, static_cast<std::uint32_t>(plane.size() * 4), bytes.size()});
        const auto* raw = reinterpret_cast<const std::byte*>(plane.data());
        bytes.insert(bytes.end(), raw, raw + plane.size() * 4);
    }
    const auto block = platform::scripted::block_with_bytes(bytes);
    return platform::CMSampleBuffer::createAudio(block.get(), std::move(layout), 48000, 0);
}

std::vector<float> ramp(std::size_t count, float first, float step) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = first + step * static_cast<float>(i);
    return out;
}

class AudioOutputHandlerTest : public platform::scripted::ScriptedPlatformTest {
protected:
    void TearDown() override {
        slot.reset();
        ScriptedPlatformTest::TearDown();
    }

    // Hands the handler a reference of its own, as the dispatch does; ours is kept so the
    // test can see that the handler gave its reference back.
    void deliver(const platform::Ref<platform::CMSampleBuffer>& buffer,
                 SCStreamOutputType type = SCStreamOutputType::Audio) {
        const std::size_t before = buffer->retain_count();
        buffer->retain();
        handler(capture::CMSampleBuffer(bridge::to_handle(buffer.get())), type);
        EXPECT_EQ(buffer->retain_count(), before) << "the handler keeps a sample buffer";
    }

    // What one buffer turned into; fails the test unless exactly one write happened.
    Samples written_for(const platform::Ref<platform::CMSampleBuffer>& buffer) {
        log->writes.clear();
        deliver(buffer);
        EXPECT_EQ(log->writes.size(), 1u);
        return log->writes.empty() ? Samples{} : log->writes.front();
    }

    RecordingWriter writer;
    std::shared_ptr<RecordingWriter::Log> log = writer.log;
    std::shared_ptr<RecordingSlot> slot = std::make_shared<RecordingSlot>(writer);
    helper::AudioOutputHandler<RecordingWriter> handler{slot};
};

TEST_F(AudioOutputHandlerTest, SamplesAreClampedScaledAndTruncatedTowardZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(written_for(interleaved({0.5f, -0.5f, 2.0f, nan}, 2)),
              (Samples{16383, -16383, 32767, 0}));
    // Twice over, so that each value also lands where long buffers are converted in bulk.
    const std::vector<float> edges = {1.0f, -1.0f,   -2.0f,     inf,      -inf,
                                      -nan, 0.9999f, -0.00001f, 0.00003f, -0.0f};
    const Samples expected = {32767, -32767, -32767, 32767, -32767, 0, 32763, 0, 0, 0};
    std::vector<float> twice = edges;
    twice.insert(twice.end(), edges.begin(), edges.end());
    Samples expected_twice = expected;
    expected_twice.insert(expected_twice.end(), expected.begin(), expected.end());
    EXPECT_EQ(written_for(interleaved(edges, 2)), expected);
    EXPECT_EQ(written_for(interleaved(twice, 2)), expected_twice);
}

// A sweep over and past full scale in one long buffer, against the rule spelled out here.
TEST_F(AudioOutputHandlerTest, LongBuffersFollowTheSampleRuleEverywhere) {
    std::vector<float> values;
    for (int i = -40000; i <= 40001; ++i) values.push_back(static_cast<float>(i) / 30000.0f);
    Samples expected;
    for (const float v : values) {
        expected.push_back(
            static_cast<std::int16_t>(std::trunc(std::clamp(v, -1.0f, 1.0f) * 32767.0f)));
    }
    EXPECT_EQ(written_for(interleaved(values, 2)), expected);
}

TEST_F(AudioOutputHandlerTest, InterleavedLayoutsBecomeStereo) {
    // Stereo passes through; a stray last sample is not a frame.
    EXPECT_EQ(written_for(interleaved({0.25f, 0.5f, -0.25f}, 2)), (Samples{8191, 16383}));
    // Mono goes to both sides.
    EXPECT_EQ(written_for(interleaved({0.25f, -1.0f}, 1)), (Samples{8191, 8191, -32767, -32767}));
    // Four channels, three frames: channels 0 and 1 of each frame.
    EXPECT_EQ(written_for(interleaved(ramp(12, 0.0f, 0.0625f), 4)),
              (Samples{0, 2047, 8191, 10239, 16383, 18431}));
    // Three channels with an incomplete last frame.
    EXPECT_EQ(written_for(interleaved(ramp(7, 0.0f, 0.125f), 3)), (Samples{0, 4095, 12287, 16383}));
    // A channel count of 0 is taken as mono.
    EXPECT_EQ(written_for(interleaved({0.5f}, 0)), (Samples{16383, 16383}));
    // Fewer samples than one frame: an empty sequence still goes to the writer.
    EXPECT_EQ(written_for(interleaved({0.5f, 0.5f, 0.5f}, 4)), Samples{});
}

// The writer cuts frames by sample count, so one stray sample would put every later
// frame one sample off: left heard on the right for the rest of the recording.
TEST_F(AudioOutputHandlerTest, OddStereoBufferLeavesLaterFramesAligned) {
    for (const std::size_t odd : {1u, 3u, 961u}) {
        log->writes.clear();
        deliver(interleaved(ramp(odd, 0.1f, 0.0f), 2));
        // Left positive, right negative.
        std::vector<float> frames(2 * 480);
        for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = i % 2 == 0 ? 0.5f : -0.5f;
        deliver(interleaved(frames, 2));
        Samples all;
        for (const Samples& write : log->writes) all.insert(all.end(), write.begin(), write.end());
        ASSERT_EQ(all.size() % 2, 0u) << odd;
        for (std::size_t i = all.size() - frames.size(); i < all.size(); ++i) {
            ASSERT_EQ(all[i] > 0, i % 2 == 0) << "sample " << i << " after " << odd;
        }
    }
}

TEST_F(AudioOutputHandlerTest, PlanarBuffersGiveLeftAndRightUpToTheShortest) {
    const auto left = ramp(480, -0.5f, 0.001f);
    const auto right = ramp(470, 0.5f, -0.001f);
    const Samples out = written_for(planar({left, right}));
    ASSERT_EQ(out.size(), 940u);
    for (std::size_t i = 0; i < 470; ++i) {
        ASSERT_EQ(out[2 * i], helper::float_to_i16(left[i])) << i;
        ASSERT_EQ(out[2 * i + 1], helper::float_to_i16(right[i])) << i;
    }
    // A third buffer is not heard but still limits the frame count.
    EXPECT_EQ(written_for(planar({{0.5f, 0.5f, 0.5f}, {-0.5f, -0.5f, -0.5f}, {1.0f, 1.0f}})),
              (Samples{16383, -16383, 16383, -16383}));
}

TEST_F(AudioOutputHandlerTest, BytesNeedNotBeAligned) {
    const float values[3] = {0.5f, -0.25f, 1.0f};
    std::vector<std::byte> bytes(1 + sizeof values);
    std::memcpy(bytes.data() + 1, values, sizeof values);
    const auto block = platform::scripted::block_with_bytes(bytes);
    // Interleaved stereo starting at an odd address, and planar buffers at odd addresses.
    EXPECT_EQ(
        written_for(platform::CMSampleBuffer::createAudio(block.get(), {{2, 12, 1}}, 48000, 1)),
        (Samples{16383, -8191}));
    EXPECT_EQ(written_for(platform::CMSampleBuffer::createAudio(block.get(), {{1, 4, 1}, {1, 4, 9}},
                                                                48000, 1)),
              (Samples{16383, 32767}));
}

TEST_F(AudioOutputHandlerTest, BuffersWithoutWholeSamplesWriteNothing) {
    const auto three_bytes = platform::scripted::block_with_bytes(std::vector<std::byte>(3));
    const auto eight_bytes = platform::scripted::block_with_bytes(std::vector<std::byte>(8));
    const std::vector<platform::Ref<platform::CMSampleBuffer>> nothing_to_write = {
        platform::CMSampleBuffer::createAudio(three_bytes.get(), {{2, 3, 0}}, 48000, 0),
        // No data pointer; a size of 0.
        platform::CMSampleBuffer::createAudio(eight_bytes.get(), {{2, 8, std::nullopt}}, 48000, 1),
        platform::CMSampleBuffer::createAudio(eight_bytes.get(), {{2, 0, 0}}, 48000, 0),
        // Planar with one empty buffer.
        platform::CMSampleBuffer::createAudio(eight_bytes.get(), {{1, 8, 0}, {1, 0, 0}}, 48000, 0),
        // No audio at all, and no block buffer behind the list.
        platform::CMSampleBuffer::createWithoutAudio(),
        platform::CMSampleBuffer::createAudio(nullptr, {{2, 8, 0}}, 48000, 1),
    };
    for (const auto& buffer : nothing_to_write) deliver(buffer);
    EXPECT_TRUE(log->writes.empty());
}

// The audio list holds its own block-buffer reference; it must be gone before the writer
// (and the slot's lock) is reached.
TEST_F(AudioOutputHandlerTest, TheAudioListIsGoneBeforeTheWriterIsCalled) {
    const float samples[2] = {0.5f, 0.5f};
    const auto block = platform::scripted::block_with_bytes(std::as_bytes(std::span(samples)));
    const auto buffer = platform::CMSampleBuffer::createAudio(block.get(), {{2, 8, 0}}, 48000, 1);
    log->watched = block.get();
    deliver(buffer);
    ASSERT_EQ(log->writes.size(), 1u);
    EXPECT_EQ(log->watched_references, 2u) << "ours and the sample buffer's only";
}

TEST_F(AudioOutputHandlerTest, OnlyAudioIsHandled) {
    const auto buffer = interleaved({0.5f, 0.5f}, 2);
    deliver(buffer, SCStreamOutputType::Screen);
    deliver(buffer, SCStreamOutputType::Microphone);
    deliver(buffer, static_cast<SCStreamOutputType>(7));
    EXPECT_TRUE(log->writes.empty());
    deliver(buffer);
    EXPECT_EQ(log->writes.size(), 1u);
}

TEST_F(AudioOutputHandlerTest, WriterFailuresFollowTheSlotRules) {
    const auto buffer = interleaved({0.5f, 0.5f}, 2);
    // A refused write is dropped; the next buffer is written as usual.
    log->refuse = true;
    deliver(buffer);
    deliver(buffer);
    EXPECT_EQ(log->writes.size(), 2u);
    // A writer that throws marks the slot failed; the sample buffer is still given back
    // and the writer is never called again.
    log->throw_on_write = true;
    EXPECT_THROW(deliver(buffer), std::runtime_error);
    EXPECT_EQ(buffer->retain_count(), 1u);
    EXPECT_EQ(slot->take().first, RecordingSlot::Take::Failed);
    log->throw_on_write = false;
    deliver(buffer);
    EXPECT_EQ(log->writes.size(), 2u);
}

TEST_F(AudioOutputHandlerTest, BuffersAfterTheWriterWasTakenWriteNothing) {
    deliver(interleaved({0.5f, 0.5f}, 2));
    auto [state, taken] = slot->take();
    ASSERT_EQ(state, RecordingSlot::Take::Taken);
    deliver(interleaved({0.5f, 0.5f}, 2));
    deliver(planar({{0.5f}, {0.5f}}));
    EXPECT_EQ(log->writes.size(), 1u);
}

}  // namespace
