#include "platform/PreparedCgroup.h"

#include <QMutexLocker>
#include <utility>

namespace nerim::platform {

std::shared_ptr<PreparedCgroup> PreparedCgroup::make()
{
    return std::shared_ptr<PreparedCgroup>(new PreparedCgroup(RunCgroup::create()));
}

PreparedCgroup::~PreparedCgroup()
{
    if (m_group)
        m_group->remove(); // empty: no run was started in it
}

std::optional<RunCgroup> PreparedCgroup::take()
{
    QMutexLocker lock(&m_mutex);
    return std::exchange(m_group, std::nullopt);
}

} // namespace nerim::platform
