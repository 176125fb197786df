#include <vesk/file/inside.h>

#include <algorithm>

namespace vesk::file {

std::optional<std::vector<std::string>> componentsInside(std::string_view name)
{
    if (name.starts_with('/') || name.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::vector<std::string> components;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string_view component = name.substr(start, slash - start);
        if (component == "..")
            return std::nullopt;
        if (!component.empty() && component != ".")
            components.emplace_back(component);
        start = slash + 1;
    }
    return components;
}

} // namespace vesk::file
