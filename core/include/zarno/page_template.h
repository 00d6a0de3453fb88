// Pages from templates: the report's page is a file with named placeholders,
// @NAME@ (capital letters, digits and underscores), filled in from C++.
#ifndef ZARNO_CORE_PAGE_TEMPLATE_H
#define ZARNO_CORE_PAGE_TEMPLATE_H

#include <map>
#include <stdexcept>
#include <string>

namespace zarno {

// A template that does not match its values; what() names the placeholder.
class TemplateError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// The page with every placeholder replaced by its value, as often as it
// occurs; values are inserted as they are, never searched for placeholders.
// An '@' that starts no placeholder stays. Throws TemplateError for a
// placeholder without a value and for a value whose placeholder the page
// lacks, so a page and its code cannot drift apart unnoticed.
std::string FillTemplate(const std::string& page, const std::map<std::string, std::string>& values);

}  // namespace zarno

#endif
