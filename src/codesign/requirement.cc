#include "codesign/requirement.h"

#include <vector>

namespace zefra::codesign {

namespace {

// Words and double-quoted strings (no escapes) of a requirement text.
Result<std::vector<std::string>> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      ++i;
    } else if (c == '"') {
      std::size_t end = text.find('"', i + 1);
      if (end == std::string_view::npos) return Error{0, "unterminated string in requirement"};
      std::string_view inner = text.substr(i + 1, end - i - 1);
      if (inner.find('\\') != std::string_view::npos) {
        return Error{0, "escapes are not supported in requirements"};
      }
      tokens.push_back("\"" + std::string(inner));
      i = end + 1;
    } else {
      std::size_t end = text.find_first_of(" \t\n\"", i);
      if (end == std::string_view::npos) end = text.size();
      tokens.emplace_back(text.substr(i, end - i));
      i = end;
    }
  }
  return tokens;
}

}  // namespace

Result<CodeRequirement> parseRequirement(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens) return tokens.error();
  const std::vector<std::string>& t = *tokens;
  CodeRequirement requirement;
  bool anchored = false;
  auto fail = [&](const std::string& why) {
    return Error{0, "cannot compile requirement \"" + std::string(text) + "\": " + why};
  };
  auto value = [](const std::string& token) -> std::optional<std::string> {
    if (token.empty() || token[0] != '"') return std::nullopt;
    return token.substr(1);
  };
  std::size_t i = 0;
  while (true) {
    std::size_t left = t.size() - i;
    if (left >= 3 && t[i] == "anchor" && t[i + 1] == "apple" && t[i + 2] == "generic") {
      if (anchored) return fail("repeated anchor clause");
      anchored = true;
      i += 3;
    } else if (left >= 2 && t[i] == "identifier") {
      std::size_t at = i + 1;
      if (t[at] == "=") ++at;
      std::optional<std::string> id;
      if (at < t.size()) {
        id = value(t[at]);
        if (!id && t[at] != "and") id = t[at];
      }
      if (!id || requirement.identifier) return fail("bad identifier clause");
      requirement.identifier = std::move(id);
      i = at + 1;
    } else if (left >= 4 && t[i] == "certificate" && t[i + 1] == "leaf[subject.OU]" &&
               t[i + 2] == "=" && value(t[i + 3])) {
      if (requirement.teamIdentifier) return fail("repeated team clause");
      requirement.teamIdentifier = value(t[i + 3]);
      i += 4;
    } else {
      return fail("unknown clause");
    }
    if (i == t.size()) break;
    if (t[i] != "and" || i + 1 == t.size()) return fail("clauses are joined by \"and\"");
    ++i;
  }
  // Code is only ever judged under the compiled anchor; a requirement
  // without it would promise something this build does not check.
  if (!anchored) return fail("missing \"anchor apple generic\"");
  return requirement;
}

Status checkRequirement(const SigningInfo& info, const CodeRequirement& requirement) {
  if (requirement.identifier && info.identifier != *requirement.identifier) {
    return Error{0, "signing identifier \"" + info.identifier + "\" is not \"" +
                        *requirement.identifier + "\""};
  }
  if (requirement.teamIdentifier && info.teamIdentifier != requirement.teamIdentifier) {
    return Error{0, "team identifier \"" + info.teamIdentifier.value_or("") + "\" is not \"" +
                        *requirement.teamIdentifier + "\""};
  }
  return Ok{};
}

}  // namespace zefra::codesign
