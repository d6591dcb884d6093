#include "platform/model/display.h"

#include <utility>

namespace platform {

SCDisplay::SCDisplay(DisplayDescription description)
    : Object(Kind::Display), description_(std::move(description)) {}

}  // namespace platform
