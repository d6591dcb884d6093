#include "platform/model/error.h"

#include <utility>

namespace platform {

NSError::NSError(std::string_view domain, std::int64_t code, std::string description)
    : Object(Kind::Error), domain_(domain), code_(code), description_(std::move(description)) {}

Ref<NSError> NSError::make(std::string_view domain, std::int64_t code,
                           std::string localizedDescription) {
    return Ref<NSError>::adopt(new NSError(domain, code, std::move(localizedDescription)));
}

}  // namespace platform
