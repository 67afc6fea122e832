// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace tolvar {

// Hands the memory of a long line back to the OS once the bytes are gone, so that a burst with no
// CR costs nothing after its line is written or dropped.
void GiveBackIfLong(std::string& bytes);

} // namespace tolvar
