// Handler ids are process-wide, so this binary holds only this test: it sees the ids from
// the very first registration of the process on.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "capture/shareable_content.h"
#include "capture/stream.h"
#include "tests/support/scripted_fixture.h"

namespace {

using capture::CMSampleBuffer;
using capture::SCStreamOutputType;

class HandlerIdTest : public platform::scripted::ScriptedPlatformTest {};

TEST_F(HandlerIdTest, IdsCountFromOneAcrossStreamsAndRefusalsUseOneUp) {
    auto content = capture::SCShareableContent::get();
    ASSERT_TRUE(content.has_value());
    auto filter =
        capture::SCContentFilterBuilder().with_display(content->displays().at(0)).try_build();
    ASSERT_TRUE(filter.has_value());
    const capture::SCStreamConfiguration configuration;
    capture::SCStream first(*filter, configuration);
    capture::SCStream second(*filter, configuration);
    const auto ignore = [](CMSampleBuffer, SCStreamOutputType) {};

    EXPECT_EQ(first.add_output_handler(ignore, SCStreamOutputType::Audio),
              std::optional<std::size_t>(1));
    EXPECT_EQ(first.add_output_handler(ignore, SCStreamOutputType::Audio),
              std::optional<std::size_t>(2));
    backend->refuse_outputs(std::string("refused"));
    EXPECT_EQ(second.add_output_handler(ignore, SCStreamOutputType::Audio), std::nullopt);
    backend->refuse_outputs(std::nullopt);
    EXPECT_EQ(second.add_output_handler(ignore, SCStreamOutputType::Audio),
              std::optional<std::size_t>(4));
    EXPECT_EQ(first.add_output_handler(ignore, SCStreamOutputType::Screen),
              std::optional<std::size_t>(5));
    EXPECT_EQ(capture::NEXT_HANDLER_ID.load(), 6u);
}

}  // namespace
