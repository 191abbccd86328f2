// Environment variables: the one place the library reads them.
#pragma once

#include <string>

namespace tq {
namespace env {

// The variable's value, or null when it is unset.
const char* raw(const char* name);
// Set and not empty.
bool nonEmpty(const char* name);
// The value, or "" when unset.
std::string text(const char* name);
// Set and its first character is c.
bool beginsWith(const char* name, char c);
// Set, not empty, and exactly equal to value.
bool equals(const char* name, const char* value);
// Base-10 integer prefix of a set, non-empty value (strtoll rules: no digits
// read 0). Returns false, leaving *out alone, when unset or empty.
bool integer(const char* name, long long* out);

}  // namespace env
}  // namespace tq
