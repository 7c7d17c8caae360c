#pragma once
// The built-in pages of the substitute provider (a files folder may override them).
#include <string>

namespace websim {

inline constexpr const char* kPortalPath = "/orvix/app/index.html";
inline constexpr const char* kEnvCheckPath = "/envchecker/";

std::string portal_page();
std::string envcheck_page();
std::string index_page();

} // namespace websim
