#include "update/update_settings.h"

#include "platform/desktop/agent_service.h"
#include "platform/desktop/bundle.h"
#include "platform/desktop/user_defaults.h"
#include "platform/files/file_moves.h"
#include "platform/process/process_exit.h"

namespace zefra::update {

UpdateSettings defaultUpdateSettings() {
  UpdateSettings settings;
  settings.temporaryDirectory = platform::temporaryDirectory();
  const auto& bundle = platform::Bundle::main();
  settings.bundlePath = bundle.bundlePath();
  settings.runningFromBundle = bundle.isAppBundle();
  settings.defaults = &platform::UserDefaults::standard();
  settings.unregisterAgent = [] { platform::unregisterAgentIgnoringErrors(); };
  settings.endProcess = [] { platform::exitProcess(0); };
  return settings;
}

}  // namespace zefra::update
