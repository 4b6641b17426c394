// The page the gateway serves at "/": page.html, carried in the program.
#pragma once

#include <string_view>

namespace inkwebd {

std::string_view built_in_page();

}  // namespace inkwebd
