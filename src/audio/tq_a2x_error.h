// The tq_a2x functions' error text: the calling thread's last-error text, the
// one every family of the C API shares.
#pragma once

#include <string>

namespace tq {
namespace a2x {

std::string& lastError();

}  // namespace a2x
}  // namespace tq
