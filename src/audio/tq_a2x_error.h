// The tq_a2x functions' error text: one string per thread, apart from the rest
// of the C API's because tq_a2x_last_error has always been its own.
#pragma once

#include <string>

namespace tq {
namespace a2x {

std::string& lastError();

}  // namespace a2x
}  // namespace tq
