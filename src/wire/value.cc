#include "wire/value.h"

#include <cerrno>
#include <utility>

namespace zefra::wire {

IpcValue::IpcValue(Kind kind) : kind_(kind) {}

IpcValue IpcValue::boolean(bool value) {
  IpcValue v(Kind::kBool);
  v.scalar_ = value ? 1 : 0;
  return v;
}
IpcValue IpcValue::integer(std::int64_t value) {
  IpcValue v(Kind::kInt);
  v.scalar_ = value;
  return v;
}
IpcValue IpcValue::real(double value) {
  IpcValue v(Kind::kReal);
  v.scalar_ = std::bit_cast<std::int64_t>(value);
  return v;
}
IpcValue IpcValue::string(std::string text) {
  return string(Bytes(std::move(text)));
}
IpcValue IpcValue::string(Bytes utf8) {
  IpcValue v(Kind::kString);
  v.bytes_ = std::move(utf8);
  return v;
}
IpcValue IpcValue::data(Bytes bytes) {
  IpcValue v(Kind::kData);
  v.bytes_ = std::move(bytes);
  return v;
}
IpcValue IpcValue::array(Array elements) {
  IpcValue v(Kind::kArray);
  v.elements_ = std::move(elements);
  return v;
}
IpcValue IpcValue::map(Map entries) {
  IpcValue v(Kind::kMap);
  v.entries_ = std::move(entries);
  return v;
}

bool operator==(const IpcValue& a, const IpcValue& b) {
  return a.kind_ == b.kind_ && a.scalar_ == b.scalar_ && a.bytes_ == b.bytes_ &&
         a.elements_ == b.elements_ && a.entries_ == b.entries_;
}

Error ipcViolation(const std::string& detail, base::ErrorKind kind) {
  return Error{EPROTO, "protocol violation: " + detail, kind};
}

}  // namespace zefra::wire
