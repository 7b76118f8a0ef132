#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "ipc/exported_interface.h"
#include "xpc/protocol.h"

namespace zefra::xpc {

// Enters a ZefraHelperProtocol implementation with the calls a connection has
// checked against the helper interface: arguments become typed values (nil
// strings, lists and maps become empty ones; nil input and working directory
// stay absent), and each typed reply is encoded and sent once. A selector the
// object does not offer, or values of the wrong shape (an environment that is
// a string, a list holding a list), is refused before any method is entered.
class ExportedObject final : public ipc::IpcExportedObject {
 public:
  explicit ExportedObject(std::shared_ptr<ZefraHelperProtocol> object);

  base::Result<platform::Work> bind(std::string_view selector,
                                    std::vector<wire::IpcValue> arguments,
                                    ipc::IpcReply reply) override;
  // Ping only reads a version worked out once.
  ipc::CallPlace placeOf(std::string_view selector) const override;
  void connectionClosed() override;

 private:
  std::shared_ptr<ZefraHelperProtocol> object_;
};

std::shared_ptr<ipc::IpcExportedObject> makeExportedObject(
    std::shared_ptr<ZefraHelperProtocol> object);

}  // namespace zefra::xpc
