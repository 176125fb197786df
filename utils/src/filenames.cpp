#include "filenames.h"

#include <vesk/file/fileoperations.h>

#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <climits>

namespace vesk::file {

namespace detail {

void requireSingleComponent(const std::string& name, const Where& where)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
        || name.find('\0') != std::string::npos)
        throwErrno("not a name in the directory", where, EINVAL);
}

std::string joinComponents(const std::vector<std::string>& components, std::size_t count)
{
    std::string joined;
    for (std::size_t i = 0; i < count; ++i)
        joined += (i ? "/" : "") + components[i];
    return joined;
}

std::string temporaryName(const std::string& name)
{
    static constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static constexpr std::size_t randomLength = 8;
    // A long name is cut so that the temporary one still fits NAME_MAX.
    const std::size_t kept = std::min(name.size(), std::size_t(NAME_MAX) - randomLength - 2);
    std::string candidate;
    candidate.reserve(kept + randomLength + 2);
    candidate += '.';
    candidate.append(name, 0, kept);
    candidate += '.';
    for (std::size_t i = 0; i < randomLength; ++i)
        candidate += digits[QRandomGenerator::global()->bounded(int(sizeof digits - 1))];
    return candidate;
}

} // namespace detail

QString plainName(const QByteArray& url)
{
    const std::optional<std::vector<std::string>> components
        = componentsInside(std::string_view(url.constData(), std::size_t(url.size())));
    if (!components || components->empty())
        return QString::fromUtf8(url);
    QStringList names;
    for (const std::string& component : *components)
        names << QString::fromUtf8(component.data(), qsizetype(component.size()));
    return names.join(u'/');
}

} // namespace vesk::file
