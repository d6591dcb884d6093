// Reading the audio of a sample buffer through the bridge, on scripted platform buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <vector>

#include "capture/bridge/handles.h"
#include "capture/sample_buffer.h"
#include "platform/model/sample_buffer.h"
#include "tests/support/scripted_fixture.h"

namespace capture {
namespace {

using platform::AudioBufferLayout;
using platform::Kind;
using platform::live_objects;
using platform::Ref;

using SampleBufferTest = platform::scripted::ScriptedPlatformTest;

// A binding value with its own reference to a platform sample buffer.
CMSampleBuffer value_of(const Ref<platform::CMSampleBuffer>& buffer) {
    buffer->retain();
    return CMSampleBuffer(bridge::to_handle(buffer.get()));
}

std::vector<float> floats_of(std::span<const std::byte> bytes) {
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

TEST_F(SampleBufferTest, InterleavedAndPlanarListsDescribeEachPlatformBufferInOrder) {
    const std::vector<float> stereo = {0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f};
    auto interleaved = platform::scripted::interleaved_float_buffer(stereo, 2, 48000);
    auto list = value_of(interleaved).audio_buffer_list();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->num_buffers(), 1u);
    EXPECT_EQ(list->buffers_len(), 1u);
    const auto only = list->get(0);
    ASSERT_TRUE(only);
    EXPECT_EQ(only->number_channels(), 2u);
    EXPECT_EQ(only->data_bytes_size(), 24u);
    EXPECT_EQ(floats_of(only->data()), stereo);

    const std::vector<float> left = {1, 2, 3}, right = {4, 5, 6};
    const std::span<const float> planes[] = {left, right};
    auto planar = platform::scripted::planar_float_buffer(planes, 48000);
    auto planar_list = value_of(planar).audio_buffer_list();
    ASSERT_TRUE(planar_list);
    ASSERT_EQ(planar_list->num_buffers(), 2u);
    EXPECT_EQ(planar_list->get(0)->number_channels(), 1u);
    EXPECT_EQ(floats_of(planar_list->get(0)->data()), left);
    EXPECT_EQ(floats_of(planar_list->get(1)->data()), right);
    EXPECT_FALSE(planar_list->get(2));  // an index equal to the count
}

TEST_F(SampleBufferTest, SizesAreCutToTheBlockAndNullDataReadsEmpty) {
    auto block = platform::CMBlockBuffer::create(3840);
    std::vector<AudioBufferLayout> layout = {
        {2, 4096, 0},           // claims more than the block holds
        {1, 16, std::nullopt},  // null data pointer
        {1, 0, 0},              // nothing valid
        {3, 17, 1},             // odd size and offset, inside the block
    };
    auto buffer = platform::CMSampleBuffer::createAudio(block.get(), layout, 48000, 480);
    auto list = value_of(buffer).audio_buffer_list();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->num_buffers(), 4u);
    EXPECT_EQ(list->get(0)->data_bytes_size(), 3840u);
    EXPECT_EQ(list->get(0)->data().size(), 3840u);
    EXPECT_EQ(list->get(0)->data().data(), reinterpret_cast<const std::byte*>(block->data()));
    EXPECT_EQ(list->get(1)->data_bytes_size(), 16u);
    EXPECT_EQ(list->buffers_ptr()[1].data_ptr, nullptr);
    EXPECT_TRUE(list->get(1)->data().empty());
    EXPECT_TRUE(list->get(2)->data().empty());
    EXPECT_EQ(list->get(3)->number_channels(), 3u);
    EXPECT_EQ(list->get(3)->data().size(), 17u);
    EXPECT_EQ(list->get(3)->data().data(), reinterpret_cast<const std::byte*>(block->data()) + 1);
}

TEST_F(SampleBufferTest, EveryFailureIsAbsentAndLeavesNothingBehind) {
    auto block = platform::CMBlockBuffer::create(64);
    const auto block_references = block->retain_count();

    auto no_audio = platform::CMSampleBuffer::createWithoutAudio();
    EXPECT_FALSE(value_of(no_audio).audio_buffer_list());

    auto no_buffers = platform::CMSampleBuffer::createAudio(block.get(), {}, 48000, 0);
    EXPECT_FALSE(value_of(no_buffers).audio_buffer_list());

    auto failing = platform::CMSampleBuffer::createAudio(block.get(), {{2, 64, 0}}, 48000, 8);
    failing->setFillStatusForTesting(platform::kCMSampleBufferError_InvalidMediaFormat);
    EXPECT_FALSE(value_of(failing).audio_buffer_list());

    auto without_block = platform::CMSampleBuffer::createAudio(nullptr, {{2, 64, 0}}, 48000, 8);
    EXPECT_FALSE(value_of(without_block).audio_buffer_list());

    EXPECT_FALSE(CMSampleBuffer().audio_buffer_list());

    // The sample buffers that reference the block hold what they held before; the calls kept
    // nothing.
    no_buffers.reset();
    failing.reset();
    EXPECT_EQ(block->retain_count(), block_references);
}

TEST_F(SampleBufferTest, TheListOwnsOneBlockReferenceAndOutlivesItsSampleBuffer) {
    const std::vector<float> samples = {0.5f, 0.25f};
    auto platform_buffer = platform::scripted::interleaved_float_buffer(samples, 1, 48000);
    platform::CMBlockBuffer* block = platform_buffer->dataBuffer();
    std::optional<AudioBufferList> list;
    {
        CMSampleBuffer value = value_of(platform_buffer);
        list = value.audio_buffer_list();
        ASSERT_TRUE(list);
        EXPECT_EQ(block->retain_count(), 2u);
        EXPECT_EQ(platform_buffer->retain_count(), 2u);  // the call kept no reference of its own
    }
    platform_buffer.reset();  // the sample buffer is gone; the bytes are not
    EXPECT_EQ(live_objects(Kind::SampleBuffer), 0u);
    EXPECT_EQ(block->retain_count(), 1u);
    EXPECT_EQ(floats_of(list->get(0)->data()), samples);

    AudioBufferList moved = std::move(*list);
    list.reset();  // a moved-from list releases nothing
    EXPECT_EQ(live_objects(Kind::BlockBuffer), 1u);
    EXPECT_EQ(moved.block_buffer(), bridge::to_handle(block));
    { AudioBufferList last = std::move(moved); }
    EXPECT_EQ(live_objects(Kind::BlockBuffer), 0u);
}

TEST_F(SampleBufferTest, SampleBufferValuesOwnExactlyOneReference) {
    { CMSampleBuffer nothing(nullptr); }  // a null handle is never released

    auto platform_buffer = platform::CMSampleBuffer::createWithoutAudio();
    {
        CMSampleBuffer first = value_of(platform_buffer);
        CMSampleBuffer second = first.retained();
        EXPECT_EQ(second.as_ptr(), first.as_ptr());
        EXPECT_EQ(platform_buffer->retain_count(), 3u);
        CMSampleBuffer third = std::move(first);
        EXPECT_FALSE(first);
        EXPECT_EQ(platform_buffer->retain_count(), 3u);
        second = std::move(third);
        EXPECT_EQ(platform_buffer->retain_count(), 2u);
    }
    EXPECT_EQ(platform_buffer->retain_count(), 1u);
}

}  // namespace
}  // namespace capture
