#include "platform/dispatch/thread_name.h"

#include <pthread.h>

namespace zefra::platform {

void nameThisThread(const char* name) {
  (void)::pthread_setname_np(::pthread_self(), name);
}

}  // namespace zefra::platform
