// Everything the capture platform offers.
#ifndef VMAH_PLATFORM_PLATFORM_H
#define VMAH_PLATFORM_PLATFORM_H

#include "platform/backend.h"
#include "platform/block_buffer.h"
#include "platform/content_filter.h"
#include "platform/dispatch_queue.h"
#include "platform/display.h"
#include "platform/error.h"
#include "platform/object.h"
#include "platform/ref.h"
#include "platform/reply.h"
#include "platform/runtime.h"
#include "platform/running_application.h"
#include "platform/sample_buffer.h"
#include "platform/shareable_content.h"
#include "platform/stream.h"
#include "platform/stream_configuration.h"
#include "platform/stream_output.h"
#include "platform/window.h"

#endif
