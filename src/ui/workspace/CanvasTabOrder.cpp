#include "ui/workspace/CanvasTabOrder.h"

#include <QApplication>
#include <QWidget>
#include <algorithm>

namespace nerim::CanvasTabOrder {

namespace {

// The same test Qt applies when it looks for the next control on Tab.
bool isStop(const QWidget *widget, const QWidget *window)
{
    return (widget->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && !widget->focusProxy() && !widget->isWindow() &&
           widget->isEnabled() && widget->isVisibleTo(window);
}

// Every widget of `window`, grouped as the stops are and, within a group,
// in the window's focus order.
QList<QWidget *> ordered(QWidget *window, const QList<QWidget *> &regions)
{
    QList<std::pair<qsizetype, QWidget *>> placed;
    QWidget *widget = window;
    do {
        const auto region = std::find_if(regions.cbegin(), regions.cend(), [widget](const QWidget *root) {
            return root && (root == widget || root->isAncestorOf(widget));
        });
        placed.append({region == regions.cend() ? -1 : region - regions.cbegin(), widget});
        widget = widget->nextInFocusChain();
    } while (widget && widget != window);
    std::stable_sort(placed.begin(), placed.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QList<QWidget *> result;
    result.reserve(placed.size());
    for (const auto &[rank, each] : placed)
        result.append(each);
    return result;
}

} // namespace

bool moveFocus(QWidget *window, const QList<QWidget *> &regions, bool next)
{
    const QList<QWidget *> all = ordered(window, regions);
    const qsizetype count = all.size();
    qsizetype index = all.indexOf(QApplication::focusWidget());
    if (index < 0)
        index = next ? -1 : count;
    for (qsizetype step = 0; step < count; ++step) {
        index = next ? (index + 1) % count : (index - 1 + count) % count;
        QWidget *candidate = all[index];
        if (!isStop(candidate, window))
            continue;
        candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
        return true;
    }
    return false;
}

} // namespace nerim::CanvasTabOrder
