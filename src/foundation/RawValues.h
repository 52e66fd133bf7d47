#pragma once

#include <QLatin1String>
#include <QString>
#include <array>
#include <cstddef>
#include <optional>

namespace nerim {

// The string raw values of an enumeration, one per case in declaration order.
// Documents store such enumerations by their raw value; an unknown raw value
// reads as nothing (and the strict JSON reader then fails the document).
//
//     constexpr auto roleNames = rawValues<AgentRole>("unspecified", "designer", ...);
//     roleNames.raw(AgentRole::designer) == "designer"
template <typename E, std::size_t N>
struct RawValues {
    std::array<const char *, N> names;

    QString raw(E value) const { return QString::fromLatin1(names[static_cast<std::size_t>(value)]); }
    const char *rawLatin1(E value) const { return names[static_cast<std::size_t>(value)]; }

    std::optional<E> fromRaw(const QString &raw) const
    {
        for (std::size_t i = 0; i < N; ++i)
            if (raw == QLatin1String(names[i]))
                return static_cast<E>(i);
        return std::nullopt;
    }
};

template <typename E, typename... Names>
constexpr RawValues<E, sizeof...(Names)> rawValues(Names... names)
{
    return RawValues<E, sizeof...(Names)>{{names...}};
}

} // namespace nerim
