// Output handlers: what a stream calls with each sample buffer.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "capture/sample_buffer.h"

namespace capture {

// The platform's numbering of stream outputs.
enum class SCStreamOutputType : std::int32_t {
    Screen = 0,
    Audio = 1,
    Microphone = 2,
};

// A registered output handler. It is called on a platform dispatch queue, not on the
// thread that registered it, and owns the sample-buffer reference it is given (released
// when it is done, also when it throws).
class SCStreamOutputTrait {
public:
    virtual ~SCStreamOutputTrait() = default;
    virtual void did_output_sample_buffer(CMSampleBuffer sample_buffer,
                                          SCStreamOutputType of_type) = 0;
};

template <class F>
concept OutputHandlerCallable =
    std::move_constructible<F> && std::invocable<F&, CMSampleBuffer, SCStreamOutputType>;

// Makes any callable taking (sample buffer, output type) an output handler.
template <OutputHandlerCallable F>
class OutputHandlerAdapter final : public SCStreamOutputTrait {
public:
    explicit OutputHandlerAdapter(F callable) : callable_(std::move(callable)) {}
    void did_output_sample_buffer(CMSampleBuffer sample_buffer,
                                  SCStreamOutputType of_type) override {
        callable_(std::move(sample_buffer), of_type);
    }

private:
    F callable_;
};

template <class F>
requires OutputHandlerCallable<std::decay_t<F>> std::unique_ptr<SCStreamOutputTrait>
make_output_handler(F&& callable) {
    return std::make_unique<OutputHandlerAdapter<std::decay_t<F>>>(std::forward<F>(callable));
}

}  // namespace capture
