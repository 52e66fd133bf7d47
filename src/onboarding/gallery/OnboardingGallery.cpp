// Gallery page of the brand mark: both modes, and the hint a project shows
// while it opens.
#include "ui/design/gallery/GalleryRegistry.h"

#include "onboarding/OnboardingWordmark.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/AtmosphereView.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace nerim;

NERIM_GALLERY_PAGE(onboardingWordmark, "onboarding-wordmark")
{
    MotionPreferences::shared().setReduceMotion(true);
    OnboardingWordmark::installAsLoadingHintMark();
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QHBoxLayout(&view);
    row->setContentsMargins(40, 40, 40, 40);
    row->setSpacing(60);
    row->addWidget(new NmLoadingHint(NmLoadingHint::Mark::wordmark, u"Getting things ready…"_s, std::nullopt, &view),
                   0, Qt::AlignCenter);
    row->addWidget(new NmLoadingHint(NmLoadingHint::Mark::monogram, Strings::Loading::openingProject,
                                     u"Recipe Box"_s, &view),
                   0, Qt::AlignCenter);
    const QImage image = gallery::renderWidget(&view, QSize(720, 300));
    NmLoadingHint::setWordmarkFactory({});
    return image;
}
