#pragma once

#include <utility>
#include <vector>

#include "base/result.h"
#include "wire/value.h"
#include "xpc/run_options.h"
#include "xpc/wire_types.h"

// The second run operation's values on the wire. Options are read strictly:
// an unknown key or a value of the wrong kind is refused, so a caller never
// believes a limit holds that the helper did not take. The outcome is read
// leniently: keys this side does not know are skipped.
namespace zefra::xpc {

Result<RunOptions> readRunOptions(const IpcValue& value);
IpcValue writeRunOptions(const RunOptions& options);

Result<RunOutcome> readRunOutcome(const IpcValue& value);
IpcValue writeRunOutcome(RunOutcome outcome, BadText bad = BadText::kKeep);

// A streaming run's progress: [stream, chunk], the stream 1 (standard
// output) or 2 (standard error), the chunk data that is never empty.
std::vector<IpcValue> writeRunChunk(int stream, Bytes chunk);
Result<std::pair<int, Bytes>> readRunChunk(const std::vector<IpcValue>& values);

}  // namespace zefra::xpc
