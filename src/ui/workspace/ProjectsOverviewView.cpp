#include "ui/workspace/ProjectsOverviewView.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/NmText.h"
#include "ui/workspace/ActionTiles.h"
#include "ui/settings/DialogStyle.h"
#include "ui/workspace/OverviewLook.h"
#include "ui/workspace/ProjectCard.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QVBoxLayout>
#include <cmath>

namespace nerim {

namespace {

QLabel *makeLabel(const QString &text, const QFont &font, NmRgb colour, QWidget *parent)
{
    auto *label = new QLabel(parent);
    NmText::setPlainText(label, text);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, qColor(colour));
    label->setPalette(palette);
    return label;
}

// The empty-state text as rich text: the part between backticks in the
// monospaced face, everything else escaped.
QString inlineCodeHtml(const QString &text)
{
    QString html;
    const QStringList parts = text.split(QLatin1Char('`'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString escaped = parts[i].toHtmlEscaped();
        if (i % 2 == 1 && i + 1 < parts.size())
            html += QStringLiteral("<span style=\"font-family:'%1'\">%2</span>")
                        .arg(Font::nmMono(12).family().toHtmlEscaped(), escaped);
        else
            html += (i % 2 == 1 ? QStringLiteral("`") : QString()) + escaped;
    }
    return html;
}

} // namespace

// The scrolled content: lays out its blocks whenever its size changes.
class ProjectsOverviewView::Content : public QWidget {
public:
    Content(ProjectsOverviewView *owner) : QWidget(nullptr), m_owner(owner) {}

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        m_owner->relayout();
    }

private:
    ProjectsOverviewView *m_owner;
};

ProjectsOverviewView::ProjectsOverviewView(QList<Entry> projects, Callbacks callbacks, Options options, QWidget *parent)
    : QScrollArea(parent)
    , m_projects(std::move(projects))
    , m_callbacks(std::move(callbacks))
    , m_options(std::move(options))
{
    setObjectName(QStringLiteral("ProjectsOverviewView"));
    if (!m_options.folderPicker)
        m_options.folderPicker = desktopFolderPicker();
    if (!m_options.removalAlert)
        m_options.removalAlert = desktopRemovalAlert();
    if (!m_options.now)
        m_options.now = &Timestamp::now;

    // The shell's background shows through.
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setAttribute(Qt::WA_TranslucentBackground);
    viewport()->setAutoFillBackground(false);
    // Tab goes from card to card (each shows its focus ring); the scroll area
    // itself shows no focus, so it is no stop. It holds the focus while the
    // screen opens (see showEvent), so that no card starts out with a ring
    // and the first Tab lands on the first card. Keys a card does not use
    // (Page Down, the arrows) still reach the scroll area and scroll.
    setFocusPolicy(Qt::ClickFocus);
    verticalScrollBar()->setFocusPolicy(Qt::NoFocus);
    setWidgetResizable(true);

    m_content = new Content(this);
    m_content->setAutoFillBackground(false);

    m_header = new QWidget(m_content);
    auto *header = new QVBoxLayout(m_header);
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(4);
    header->addWidget(makeLabel(Strings::Overview::title, WorkspacePainting::tracked(NmFont::largeTitle(), -0.015),
                                NmColor::ink, m_header));
    m_subtitle = makeLabel(QString(), NmFont::subtitle(), NmColor::inkSecondary, m_header);
    m_subtitle->setObjectName(QStringLiteral("subtitle"));
    header->addWidget(m_subtitle);

    m_grid = new QWidget(m_content);
    m_grid->setObjectName(QStringLiteral("grid"));

    setWidget(m_content);
    // setWidget turns the content's background on; the shell's shows through.
    m_content->setAutoFillBackground(false);
    setProjects(m_projects);
}

ProjectsOverviewView::~ProjectsOverviewView() = default;

void ProjectsOverviewView::makeEmptyState()
{
    // Made when first shown: an overview with projects never lays out its
    // rich text (nor loads the faces it names).
    m_emptyState = new QWidget(m_content);
    m_emptyState->setObjectName(QStringLiteral("emptyState"));
    auto *empty = new QVBoxLayout(m_emptyState);
    empty->setContentsMargins(0, 0, 0, 0);
    empty->setSpacing(6);
    empty->addWidget(makeLabel(Strings::Overview::emptyTitle, NmFont::bodyMedium(), NmColor::ink, m_emptyState));
    QLabel *body = makeLabel(QString(), NmFont::body(), NmColor::inkSecondary, m_emptyState);
    body->setTextFormat(Qt::RichText);
    body->setText(inlineCodeHtml(Strings::Overview::emptyBody));
    body->setWordWrap(true);
    empty->addWidget(body);
}

void ProjectsOverviewView::setProjects(QList<Entry> projects)
{
    m_projects = std::move(projects);
    NmText::setPlainText(m_subtitle, OverviewLook::subtitleText(OverviewLook::visibleProjectCount(m_projects)));
    const bool showsEmpty = OverviewLook::showsEmptyState(m_projects);
    if (showsEmpty && !m_emptyState)
        makeEmptyState();
    if (m_emptyState)
        m_emptyState->setVisible(showsEmpty);

    // Cards whose entry left the list, or changed, are rebuilt when next in view.
    QHash<QString, const Entry *> byId;
    for (const Entry &entry : std::as_const(m_projects))
        byId.insert(entry.id, &entry);
    for (auto it = m_projectCards.begin(); it != m_projectCards.end();) {
        const Entry *entry = byId.value(it.key());
        if (!it.value() || !entry || !(*entry == it.value()->project())) {
            if (it.value()) {
                it.value()->hide();
                it.value()->deleteLater();
            }
            it = m_projectCards.erase(it);
        } else {
            ++it;
        }
    }
    relayout();
}

int ProjectsOverviewView::itemCount() const
{
    return int(m_projects.size()) + 1 + (m_callbacks.onStartBlank ? 1 : 0);
}

int ProjectsOverviewView::columnCount() const
{
    return m_columns;
}

bool ProjectsOverviewView::showsEmptyState() const
{
    return m_emptyState && !m_emptyState->isHidden();
}

QRect ProjectsOverviewView::itemRect(int index) const
{
    const int column = index % m_columns;
    const int row = index / m_columns;
    const double x = column * (m_options.cardWidth + OverviewLook::gridSpacing);
    const double y = row * (m_options.cardHeight + OverviewLook::gridSpacing);
    return QRect(int(std::lround(x)), int(std::lround(y)), int(m_options.cardWidth), int(m_options.cardHeight));
}

void ProjectsOverviewView::relayout()
{
    const int width = viewport()->width();
    const double columnWidth = std::min<double>(width, m_options.contentMaxWidth);
    const double left = std::max(0.0, (width - columnWidth) / 2) + OverviewLook::sidePadding;
    const double blockWidth = std::max(0.0, columnWidth - 2 * OverviewLook::sidePadding);
    m_columns = OverviewLook::gridColumns(width, m_options.cardWidth, m_options.contentMaxWidth);

    double y = OverviewLook::headerTopPadding;
    const int headerHeight = m_header->heightForWidth(int(blockWidth)) > 0 ? m_header->heightForWidth(int(blockWidth))
                                                                          : m_header->sizeHint().height();
    m_header->setGeometry(int(left), int(y), int(blockWidth), headerHeight);
    y += headerHeight;
    if (showsEmptyState()) {
        y += OverviewLook::emptyStateTopPadding;
        const int emptyHeight = m_emptyState->heightForWidth(int(blockWidth)) > 0
                                    ? m_emptyState->heightForWidth(int(blockWidth))
                                    : m_emptyState->sizeHint().height();
        m_emptyState->setGeometry(int(left), int(y), int(blockWidth), emptyHeight);
        y += emptyHeight;
    }
    const double gridHeight = OverviewLook::gridHeight(itemCount(), m_columns, m_options.cardHeight);
    const double natural = y + gridHeight + OverviewLook::topSpacerMinimum + OverviewLook::bottomSpacerMinimum;
    m_content->setMinimumHeight(int(std::ceil(natural)));
    const OverviewLook::SpacerHeights spacers = OverviewLook::spacerHeights(m_content->height() - natural);
    y += spacers.top;
    const double gridWidth = m_columns * m_options.cardWidth + (m_columns - 1) * OverviewLook::gridSpacing;
    m_grid->setGeometry(int(left), int(std::lround(y)), int(std::ceil(std::max(gridWidth, blockWidth))),
                        int(std::ceil(gridHeight)));

    // Built cards move to their places for the new column count.
    for (int i = 0; i < itemCount(); ++i) {
        QWidget *item = nullptr;
        if (i < m_projects.size())
            item = m_projectCards.value(m_projects[i].id);
        else if (i == m_projects.size())
            item = m_addCard;
        else
            item = m_startBlankCard;
        if (item)
            item->setGeometry(itemRect(i));
    }
    updateBuiltCards();
}

void ProjectsOverviewView::showEvent(QShowEvent *event)
{
    QScrollArea::showEvent(event);
    // Otherwise the window would give its first card the focus (and its ring)
    // when it is activated, before any key was pressed.
    const QWidget *focused = window()->focusWidget();
    if (!focused || !focused->isVisible() || !isAncestorOf(focused))
        setFocus(Qt::OtherFocusReason);
}

void ProjectsOverviewView::resizeEvent(QResizeEvent *event)
{
    QScrollArea::resizeEvent(event);
    relayout();
}

void ProjectsOverviewView::scrollContentsBy(int dx, int dy)
{
    QScrollArea::scrollContentsBy(dx, dy);
    updateBuiltCards();
}

void ProjectsOverviewView::updateBuiltCards()
{
    if (itemCount() == 0)
        return;
    // The part of the grid in view, and one screen more above and below.
    const QRect visibleInContent(0, verticalScrollBar()->value(), viewport()->width(), viewport()->height());
    const QRect visibleInGrid = visibleInContent.translated(-m_grid->pos());
    const int margin = std::max(viewport()->height(), int(m_options.cardHeight));
    const QRect wanted = visibleInGrid.adjusted(0, -margin, 0, margin);
    const double rowStride = m_options.cardHeight + OverviewLook::gridSpacing;
    const int rows = (itemCount() + m_columns - 1) / m_columns;
    const int firstRow = std::clamp(int(std::floor(wanted.top() / rowStride)), 0, rows);
    const int lastRow = std::clamp(int(std::floor(wanted.bottom() / rowStride)), -1, rows - 1);

    QSet<QString> keep;
    for (int row = firstRow; row <= lastRow; ++row) {
        for (int column = 0; column < m_columns; ++column) {
            const int index = row * m_columns + column;
            if (index >= itemCount())
                break;
            if (index < m_projects.size())
                keep.insert(m_projects[index].id);
            buildItem(index);
        }
    }
    // Cards far out of view are let go.
    for (auto it = m_projectCards.begin(); it != m_projectCards.end();) {
        if (!keep.contains(it.key()) && it.value() && !it.value()->isHovered()) {
            it.value()->hide();
            it.value()->deleteLater();
            it = m_projectCards.erase(it);
        } else {
            ++it;
        }
    }
}

QWidget *ProjectsOverviewView::buildItem(int index)
{
    QPointer<ProjectsOverviewView> self(this);
    QWidget *item = nullptr;
    // Card actions run once the click has been handled, so that a card is
    // never deleted (by a new project list or a route change) inside its own
    // event handler, and no dialog opens from within one.
    if (index < m_projects.size()) {
        const Entry entry = m_projects[index];
        if (ProjectCard *existing = m_projectCards.value(entry.id))
            return existing;
        auto *card = new ProjectCard(
            entry,
            [self, entry] {
                QMetaObject::invokeMethod(self, [self, entry] {
                    if (self && self->m_callbacks.onOpen)
                        self->m_callbacks.onOpen(entry);
                }, Qt::QueuedConnection);
            },
            [self, entry] {
                QMetaObject::invokeMethod(self, [self, entry] {
                    if (self)
                        self->requestRemoval(entry);
                }, Qt::QueuedConnection);
            },
            m_options.now, m_grid);
        m_projectCards.insert(entry.id, card);
        item = card;
    } else if (index == m_projects.size()) {
        if (m_addCard)
            return m_addCard;
        m_addCard = new AddProjectCard(
            [self] {
                QMetaObject::invokeMethod(self, [self] {
                    if (self)
                        self->runFolderPicker();
                }, Qt::QueuedConnection);
            },
            m_grid);
        item = m_addCard;
    } else {
        if (m_startBlankCard)
            return m_startBlankCard;
        m_startBlankCard = new StartBlankCard(
            [self] {
                QMetaObject::invokeMethod(self, [self] {
                    if (self && self->m_callbacks.onStartBlank)
                        self->m_callbacks.onStartBlank();
                }, Qt::QueuedConnection);
            },
            m_options.projectsFolderForHelp, m_grid);
        item = m_startBlankCard;
    }
    item->setGeometry(itemRect(index));
    item->show();
    return item;
}

QList<ProjectCard *> ProjectsOverviewView::builtProjectCards() const
{
    QList<ProjectCard *> cards;
    for (const Entry &entry : m_projects) {
        if (ProjectCard *card = m_projectCards.value(entry.id))
            cards.append(card);
    }
    return cards;
}

ProjectCard *ProjectsOverviewView::cardFor(const QString &projectId) const
{
    return m_projectCards.value(projectId);
}

AddProjectCard *ProjectsOverviewView::addProjectCard() const
{
    return m_addCard;
}

StartBlankCard *ProjectsOverviewView::startBlankCard() const
{
    return m_startBlankCard;
}

void ProjectsOverviewView::runFolderPicker()
{
    if (m_dialogOpen)
        return;
    m_dialogOpen = true;
    std::weak_ptr<int> alive = m_lifetime;
    m_options.folderPicker(this, [this, alive](std::optional<QString> folder) {
        if (alive.expired())
            return;
        m_dialogOpen = false;
        if (!folder || folder->isEmpty())
            return;
        if (m_callbacks.onAddProject)
            m_callbacks.onAddProject(*folder);
    });
}

void ProjectsOverviewView::requestRemoval(const Entry &entry)
{
    if (OverviewLook::isDebugScratch(entry) || m_dialogOpen)
        return;
    m_pendingRemoval = entry;
    m_dialogOpen = true;
    std::weak_ptr<int> alive = m_lifetime;
    m_options.removalAlert(this, Strings::Overview::removeAlertTitle, OverviewLook::removalAlertMessage(entry),
                           [this, alive](AlertChoice choice) {
                               if (alive.expired())
                                   return;
                               m_dialogOpen = false;
                               const std::optional<Entry> pending = m_pendingRemoval;
                               m_pendingRemoval.reset();
                               if (choice == AlertChoice::remove && pending && m_callbacks.onRemoveProject)
                                   m_callbacks.onRemoveProject(*pending);
                           });
}

QString ProjectsOverviewView::folderPickerStartFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return documents;
    return QDir::homePath();
}

ProjectsOverviewView::FolderPicker ProjectsOverviewView::desktopFolderPicker()
{
    return [](QWidget *parent, std::function<void(std::optional<QString>)> done) {
        // A child of the screen, so that a screen replaced meanwhile takes
        // the dialog with it (its answer is then dropped).
        auto *dialog = new QFileDialog(parent, Strings::Overview::folderPickerTitle, folderPickerStartFolder());
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly, true);
        dialog->setOption(QFileDialog::ReadOnly, false); // new folders may be made
        QObject::connect(dialog, &QDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
            const QStringList chosen = dialog->selectedFiles();
            if (result != QDialog::Accepted || chosen.isEmpty())
                done(std::nullopt);
            else
                done(chosen.first());
        });
        dialog->open();
    };
}

ProjectsOverviewView::RemovalAlert ProjectsOverviewView::desktopRemovalAlert()
{
    return [](QWidget *parent, const QString &title, const QString &message, std::function<void(AlertChoice)> done) {
        QMessageBox *box = DialogStyle::warningBox(parent, title, message);
        QPushButton *remove = box->addButton(Strings::Overview::removeAction, QMessageBox::DestructiveRole);
        QPushButton *cancel = box->addButton(Strings::Overview::cancelAction, QMessageBox::RejectRole);
        box->setDefaultButton(cancel);
        box->setEscapeButton(cancel);
        DialogStyle::apply(box);
        QObject::connect(box, &QDialog::finished, box, [box, remove, cancel, done = std::move(done)](int) {
            if (box->clickedButton() == remove)
                done(AlertChoice::remove);
            else if (box->clickedButton() == cancel)
                done(AlertChoice::cancel);
            else
                done(AlertChoice::dismissed);
        });
        box->open();
    };
}

} // namespace nerim
