#pragma once

#include <string_view>

namespace ruins {

// The text of data/ruins.json, as it was when the program was built.
std::string_view bundledRuinsSceneText();

}  // namespace ruins
