#include "http/pages.h"

#include "http/util.h"

namespace hf::server {

namespace {

std::string frame(const std::string& title, const std::string& content)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" + htmlEscape(title) + "</title><style>"
           "body{font-family:sans-serif;max-width:26em;margin:3em auto;padding:0 1em;color:#222}"
           "label{display:block;margin:.8em 0 .2em}input[type=text],input[type=email]{width:100%;padding:.4em}"
           "button{margin:1.2em .6em 0 0;padding:.5em 1.2em}.notice{color:#a00}"
           "</style></head><body><h1>" + htmlEscape(title) + "</h1>" + content + "</body></html>\n";
}

} // namespace

std::string signInPage(const std::string& title, const std::string& action, const std::vector<HiddenField>& hidden,
                       const std::string& notice)
{
    std::string form = "<form method=\"post\" action=\"" + htmlEscape(action) + "\">";
    for (const auto& field : hidden)
        form += "<input type=\"hidden\" name=\"" + htmlEscape(field.name) + "\" value=\"" + htmlEscape(field.value)
                + "\">";
    if (!notice.empty())
        form += "<p class=\"notice\">" + htmlEscape(notice) + "</p>";
    form += "<label for=\"email\">E-mail</label><input id=\"email\" type=\"email\" name=\"email\" required>"
            "<label for=\"name\">Name (optional)</label><input id=\"name\" type=\"text\" name=\"name\">"
            "<button type=\"submit\" name=\"action\" value=\"approve\">Continue</button>"
            "<button type=\"submit\" name=\"action\" value=\"cancel\" formnovalidate>Cancel</button></form>";
    return frame(title, form);
}

std::string messagePage(const std::string& title, const std::string& message)
{
    return frame(title, "<p>" + htmlEscape(message) + "</p>");
}

} // namespace hf::server
