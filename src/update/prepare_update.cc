#include "update/prepare_update.h"

#include "platform/desktop/user_defaults.h"

namespace zefra::update {

void takeOutOfService(const UpdateSettings& settings) {
  if (settings.unregisterAgent) settings.unregisterAgent();
  if (settings.defaults) {
    (void)settings.defaults->removeObject("RegisteredAgentVersion");
  }
}

}  // namespace zefra::update
