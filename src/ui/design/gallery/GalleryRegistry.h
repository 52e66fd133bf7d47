#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

class QObject;
class QWidget;

namespace nerim::gallery {

// One picture of the gallery: a file name (without .png) and what draws it.
struct Page {
    QString name;
    std::function<QImage()> render;
};

// Every registered page, in name order.
std::vector<Page> pages();
void registerPage(const QString &name, std::function<QImage()> render);

struct Registration {
    Registration(const QString &name, std::function<QImage()> render) { registerPage(name, std::move(render)); }
};

// Lays `widget` out at `size` and renders it (with its children and their
// effects) into an image at the screen's pixel ratio. The widget is shown
// off-screen for the duration; pending events are processed first so that
// layouts settle, and then for as long as a registered check says some view
// is still catching up (at most a few seconds).
QImage renderWidget(QWidget *widget, QSize size);

// Adds a check that some widget still has work queued for later turns (a
// transcript taking its lines in over frames): pages are drawn once none has.
void registerBusyCheck(std::function<bool()> busy);

// Moves every animation running under `root` (its children, recursively) to
// `fraction` of its duration and holds it there, so a page can show a motion
// part of the way; 1 ends them. Pending events are processed afterwards.
void seekAnimations(QObject *root, double fraction);

// Lays `frames` side by side, each under its caption, on the paper colour.
QImage frameStrip(const std::vector<std::pair<QString, QImage>> &frames);

} // namespace nerim::gallery

// Registers a page: NERIM_GALLERY_PAGE(surfaces, "surfaces") { ...return image; }
#define NERIM_GALLERY_PAGE(identifier, name)                                                                    \
    static QImage nerimGalleryRender_##identifier();                                                            \
    static const ::nerim::gallery::Registration nerimGalleryRegistration_##identifier(                           \
        QStringLiteral(name), &nerimGalleryRender_##identifier);                                                \
    static QImage nerimGalleryRender_##identifier()
