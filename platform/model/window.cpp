#include "platform/model/window.h"

#include <utility>

namespace platform {

SCWindow::SCWindow(WindowDescription description)
    : Object(Kind::Window), description_(std::move(description)) {}

}  // namespace platform
