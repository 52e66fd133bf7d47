#include "plans/PlanState.h"

#include "TestEnvironment.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace nerim;
using Revised = PlansAgentService::RevisedPlan;

TEST(NormalizedTitle, MatchesTitlesThatSayTheSameThing)
{
    struct Case {
        const char16_t *oldTitle;
        const char16_t *revisedTitle;
        bool equal;
    };
    const Case cases[] = {
        {u"Add contact form endpoint", u"add  Contact form endpoint.", true},
        {u"Deploy!", u"Deploy ?", true},
        {u"Set up the database", u"Set up the Supabase database", false},
        {u"Add form (API)", u"Add form API", false}, // only the closing bracket is trimmed
        {u"\u00ABQuoted\u00BB", u"quoted", true},      // initial/final quotes
        {u"Caf\u00E9 menu", u"cafe\u0301 menu", true}, // canonical equivalence
        {u"$5 plan", u"5 plan", false},                // symbols stay
        {u"Add \u2014 dash", u"add \u2014 dash", true},  // inner punctuation stays
        {u"Straße", u"STRASSE", false},
        {u"\tTwo\nlines\u00A0here ", u"two lines here", true},
    };
    for (const Case &c : cases) {
        const QString a = QString::fromUtf16(c.oldTitle);
        const QString b = QString::fromUtf16(c.revisedTitle);
        EXPECT_EQ(PlanState::normalizedTitle(a) == PlanState::normalizedTitle(b), c.equal)
            << a.toStdString() << " / " << b.toStdString() << " -> " << PlanState::normalizedTitle(a).toStdString()
            << " / " << PlanState::normalizedTitle(b).toStdString();
    }
    EXPECT_EQ(PlanState::normalizedTitle(QStringLiteral("  \"Ship it!\"  ")), QStringLiteral("ship it"));
    EXPECT_EQ(PlanState::normalizedTitle(QStringLiteral("...")), QString());
}

namespace {

PlanStep step(const QString &title, PlanStep::Status status = PlanStep::Status::pending)
{
    return PlanStep{newUuid(), title, QStringLiteral("detail of ") + title, status};
}

} // namespace

TEST(ApplyRevisedPlan, CarriesIdsAndStatusesOverByPreviousIdAndTitle)
{
    const QString path = test::makeTempDir() + QStringLiteral("/plan.json");
    PlanState plan;
    plan.setPersistenceURL(path);
    const PlanStep a = step(QStringLiteral("Add contact form endpoint"), PlanStep::Status::done);
    const PlanStep b = step(QStringLiteral("Set up the database"), PlanStep::Status::inProgress);
    const PlanStep c = step(QStringLiteral("Write tests"), PlanStep::Status::done);
    const PlanStep dropped = step(QStringLiteral("Old idea"));
    plan.setSteps({a, b, c, dropped});
    plan.setGoal(QStringLiteral("goal"));

    const Revised revised{QStringLiteral(" New goal "),
                          {
                              {b.id, QStringLiteral("Set up the Supabase database"), QStringLiteral("d1")},
                              {a.id, QStringLiteral("add  Contact form endpoint."), QStringLiteral("d2")},
                              {newUuid(), QStringLiteral("Write tests"), QString()}, // unknown id: new
                              {std::nullopt, QStringLiteral("Brand new"), QString()},
                          }};
    plan.applyRevisedPlan(revised);
    const QList<PlanStep> &steps = plan.steps();
    ASSERT_EQ(steps.size(), 4);
    EXPECT_EQ(steps[0].id, b.id);
    EXPECT_EQ(steps[0].status, PlanStep::Status::pending); // reworded
    EXPECT_EQ(steps[0].title, QStringLiteral("Set up the Supabase database"));
    EXPECT_EQ(steps[1].id, a.id);
    EXPECT_EQ(steps[1].status, PlanStep::Status::done);
    EXPECT_EQ(steps[1].title, QStringLiteral("add  Contact form endpoint.")); // stored as received
    EXPECT_EQ(steps[1].detail, QStringLiteral("d2"));
    EXPECT_NE(steps[2].id, c.id);
    EXPECT_EQ(steps[2].status, PlanStep::Status::pending);
    EXPECT_EQ(steps[3].status, PlanStep::Status::pending);
    EXPECT_EQ(plan.goal(), QStringLiteral(" New goal ")); // exactly as received

    SerialFileWriter::shared().flush();
    const QJsonObject saved = QJsonDocument::fromJson(test::readFile(path)).object();
    EXPECT_EQ(saved["steps"].toArray().size(), 4);
}

TEST(ApplyRevisedPlan, ReorderingKeepsEverythingAndSameGoalDoesNotNotify)
{
    const QString path = test::makeTempDir() + QStringLiteral("/plan.json");
    PlanState plan;
    plan.setPersistenceURL(path);
    const PlanStep a = step(QStringLiteral("One"), PlanStep::Status::done);
    const PlanStep b = step(QStringLiteral("Two"), PlanStep::Status::inProgress);
    plan.setSteps({a, b});
    plan.setGoal(QStringLiteral("g"));
    QSignalSpy goalSpy(&plan, &PlanState::goalChanged);
    plan.applyRevisedPlan(Revised{QStringLiteral("g"), {{b.id, b.title, b.detail}, {a.id, a.title, a.detail}}});
    EXPECT_EQ(plan.steps(), (QList<PlanStep>{b, a}));
    EXPECT_EQ(goalSpy.count(), 0);
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(test::readFile(path).isEmpty()); // saved all the same
}

TEST(ApplyRevisedPlan, DuplicateIdsStayUniqueAndEmptyRevisionEmptiesThePlan)
{
    PlanState plan;
    const PlanStep a = step(QStringLiteral("One"), PlanStep::Status::done);
    PlanStep twin = a; // a plan read from disk may hold one id twice
    twin.title = QStringLiteral("Twin");
    plan.setSteps({a, twin});
    plan.applyRevisedPlan(Revised{QStringLiteral("g"), {{a.id, QStringLiteral("One"), QString()},
                                                       {a.id, QStringLiteral("One"), QString()}}});
    ASSERT_EQ(plan.steps().size(), 2);
    EXPECT_EQ(plan.steps()[0].id, a.id);
    EXPECT_EQ(plan.steps()[0].status, PlanStep::Status::done);
    EXPECT_NE(plan.steps()[1].id, a.id);
    EXPECT_EQ(plan.steps()[1].status, PlanStep::Status::pending);

    plan.applyRevisedPlan(Revised{QStringLiteral("other"), {}});
    EXPECT_TRUE(plan.steps().isEmpty());
    EXPECT_EQ(plan.goal(), QStringLiteral("other"));
}
