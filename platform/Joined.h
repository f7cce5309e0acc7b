// Text joined from parts in one string: where a chain of + would make a
// temporary string (and the code to free it on every path) for each part.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace pellarion {

std::string Joined(std::initializer_list<std::string_view> parts);

}  // namespace pellarion
