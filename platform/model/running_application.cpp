#include "platform/model/running_application.h"

#include <utility>

namespace platform {

SCRunningApplication::SCRunningApplication(ApplicationDescription description)
    : Object(Kind::RunningApplication), description_(std::move(description)) {}

}  // namespace platform
