#pragma once

#include <QHashFunctions>
#include <QUuid>
#include <functional>

namespace nerim {

// Where the next typed or spoken prompt goes: one pane, the router, or the Plans agent.
class PromptTarget {
public:
    enum class Kind { pane, automatic, plans };

    static PromptTarget pane(const QUuid &id) { return PromptTarget(Kind::pane, id); }
    static PromptTarget automatic() { return PromptTarget(Kind::automatic, QUuid()); }
    static PromptTarget plans() { return PromptTarget(Kind::plans, QUuid()); }

    Kind kind() const { return m_kind; }
    bool isPane() const { return m_kind == Kind::pane; }
    // The pane's id for `pane`; a null UUID otherwise.
    const QUuid &paneId() const { return m_paneId; }

    friend bool operator==(const PromptTarget &, const PromptTarget &) = default;

private:
    PromptTarget(Kind kind, const QUuid &id) : m_kind(kind), m_paneId(id) {}
    Kind m_kind;
    QUuid m_paneId;
};

inline size_t qHash(const PromptTarget &target, size_t seed = 0)
{
    return qHashMulti(seed, static_cast<int>(target.kind()), target.paneId());
}

} // namespace nerim

template <>
struct std::hash<nerim::PromptTarget> {
    size_t operator()(const nerim::PromptTarget &t) const noexcept { return nerim::qHash(t); }
};
