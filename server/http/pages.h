#pragma once

// The small HTML pages of the sign-in flows.

#include <string>
#include <vector>

namespace hf::server {

struct HiddenField {
    std::string name;
    std::string value;
};

// A sign-in form posting to `action`: e-mail and name fields, Continue and Cancel buttons.
std::string signInPage(const std::string& title, const std::string& action, const std::vector<HiddenField>& hidden,
                       const std::string& notice);
std::string messagePage(const std::string& title, const std::string& message);

} // namespace hf::server
