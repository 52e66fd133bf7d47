#include "agents/PromptAssembly.h"

#include "foundation/Text.h"
#include "persistence/ContextLog.h"

#include <QFileInfo>
#include <QUrl>
#include <filesystem>
#include <system_error>

namespace nerim {

namespace {

const QString &planClosingParagraph()
{
    static const QString text = QString::fromUtf8(
        "\n"
        "\n"
        "Read the plan carefully. If the current task maps to a specific\n"
        "step, mark that mentally and do the work in a way that advances\n"
        "the plan rather than doing something adjacent. If the task maps to\n"
        "no step, still respect the plan's whole shape, and do not\n"
        "create parallel efforts that duplicate an upcoming step.\n");
    return text;
}

const QString &workspaceOpeningParagraph()
{
    static const QString text = QString::fromUtf8(
        "\n"
        "[PROJECT PLAN WORKSPACE]\n"
        "The user, together with Nerim's Plans agent, has organized the\n"
        "project's plan into Markdown documents which live under\n"
        "`.nerim/plans/`. These are the source of truth for what should\n"
        "get built and how the pieces fit together. Files selected below\n"
        "are the ones most relevant to your role.\n"
        "\n");
    return text;
}

const QString &workspaceClosingParagraph()
{
    static const QString text = QString::fromUtf8(
        "\n"
        "If the work you do changes the shape of a plan (a new endpoint, a\n"
        "moved table, a dropped feature, an approach other than the one\n"
        "written down), append a brief note to the relevant workspace\n"
        "file so future agents pick it up. Use the `Write` tool with the\n"
        "`.nerim/plans/<filename>.md` path.\n");
    return text;
}

const QString &previewGroundingParagraph()
{
    static const QString text = QString::fromUtf8(
        "\n"
        "\n"
        "Referential grounding: when the user says \"the page\", \"the site\",\n"
        "\"the header\", \"this component\", etc., they mean the URL above.\n"
        "If the URL is a localhost address, the user is running a dev\n"
        "server — edits to source files should hot-reload into the same\n"
        "preview automatically.\n");
    return text;
}

const QString &firstTaskRules()
{
    static const QString text = QString::fromUtf8(
        "\"). Before you begin:\n"
        "\n"
        "1. Detect the stack. Look closely at the top-level files (README, package.json,\n"
        "   pyproject.toml, Cargo.toml, Gemfile, go.mod) to learn which language\n"
        "   and framework this project uses before you change anything at all.\n"
        "2. Notice what's absent. If there are no frontend files, do NOT try to run a dev\n"
        "   server that would render a webpage — say so plainly.\n"
        "3. Prefer editing existing files. When the user mentions \"the header\" or\n"
        "   \"the API route\", find the file that already holds that part of the\n"
        "   project first. Create new files only when the user explicitly asks\n"
        "   or the change genuinely requires it.\n");
    return text;
}

const QString &emptyProjectBlock()
{
    static const QString text = QString::fromUtf8(
        "\n"
        "[EMPTY PROJECT — ASK FIRST, DO NOT SCAFFOLD]\n"
        "This project folder is empty. There are no source files, no\n"
        "package.json, no framework — nothing to work with yet.\n"
        "\n"
        "Your ONLY task right now is to ask the user what they want to\n"
        "build. Do NOT scaffold a starter template. Do NOT generate a\n"
        "\"hello world\" project. Do NOT run any commands. Ask.\n"
        "\n"
        "Example response the user should see:\n"
        "    \"This folder is empty, so let's decide what to build first.\n"
        "    Tell me about your idea, and I can start you off with:\n"
        "    • a web app (a site or a dashboard you open in the browser)\n"
        "    • a backend/API (a server which other apps or devices talk to)\n"
        "    • a script or CLI tool (something you run to get a chore done)\n"
        "    • something else (just describe it in your own words)\n"
        "    If you already have a framework in mind, name it and I'll\n"
        "    scaffold the project with it.\"\n"
        "\n"
        "After the user replies, THEN start building. Not before.\n");
    return text;
}

} // namespace

const QString &capabilitiesText()
{
    static const QString text = QString::fromUtf8(
        "\n"
        "[NERIM CAPABILITIES — YOU ARE NOT IN A TERMINAL]\n"
        "You are running inside Nerim, a desktop app for non-technical users.\n"
        "The user is NOT in a terminal. Do not tell them to open Terminal\n"
        "and run commands. Nerim handles that for you.\n"
        "\n"
        "What Nerim can do on the user's behalf when they say the right\n"
        "natural-language phrase (Nerim's intent parser recognizes many\n"
        "rephrasings — the phrases below are just canonical examples):\n"
        "\n"
        "• \"run the app\" / \"show me the app\" / \"start it up\" / \"let me see it\"\n"
        "    → Nerim detects the project type by itself: a package.json with a\n"
        "      \"dev\" or \"start\" script, a static index.html (served with Python's\n"
        "      standard http.server module), a Cargo or Go project, or a Python\n"
        "      app run with uvicorn, streamlit or flask. It starts the server as\n"
        "      a managed child process, watches the server's own output for the\n"
        "      local URL it prints, and loads that URL into the built-in preview\n"
        "      panel. If the server fails to start, Nerim tells the user and can\n"
        "      send a repair agent; you do not need to babysit the process.\n"
        "• \"open the preview\" / \"show the site\" / \"let me see it\"\n"
        "    → The preview panel is a browser built into Nerim, and it is what\n"
        "      the user actually looks at. Any URL you produce ends up there, so\n"
        "      point the user to the preview, never to a separate browser window\n"
        "      or to a port number they would have to type in themselves.\n"
        "• \"plan this out\" / \"let's plan\" / \"make a plan for X\"\n"
        "    → Nerim's Plans agent turns the idea into a list of steps that the\n"
        "      user can review and reorder. When the user is planning, do not\n"
        "      race ahead and start building; a planning user should never be\n"
        "      overtaken by code they did not ask for yet.\n"
        "• \"spawn agent\" / \"open another Claude\" / \"add a pane\"\n"
        "    → Nerim starts a sibling agent in a new pane next to yours. Memory\n"
        "      across agents is shared through the project context (the recent\n"
        "      activity above), so work can be split between panes safely.\n"
        "\n"
        "HOW YOU SHOULD FINISH TASKS THAT PRODUCE A RUNNABLE APP:\n"
        "    The user cannot run commands, and a reply that asks them to will\n"
        "    leave them stuck. Never end your reply with terminal instructions.\n"
        "    Do not write:\n"
        "        ❌ \"Run python3 -m http.server 8000 and open localhost:8000\"\n"
        "        ❌ \"Run npm install && npm start, then visit the URL\"\n"
        "        ❌ \"Open a terminal, cd into the folder and type npm run dev\"\n"
        "    Instead, end with a line like this one:\n"
        "        ✅ \"The app is ready. Say 'run the app' to see it in the preview.\"\n"
        "    When the user says that phrase, Nerim's launcher detects the project\n"
        "    type, starts the app and shows it in the preview for them.\n"
        "    That's the handoff.\n"
        "\n"
        "DEPENDENCIES — DO NOT MENTION THEM TO THE USER:\n"
        "    Nerim's launcher runs `npm install` (or pnpm, yarn, or\n"
        "    `pip install -r requirements.txt`) by itself whenever a lockfile or\n"
        "    manifest exists without its installed artefacts.\n"
        "    The user should NEVER see the words \"npm install\", \"dependencies\",\n"
        "    \"node_modules\" or \"pip install\" in your output. They do not know\n"
        "    what those are, and they cannot act on them.\n"
        "        ❌ \"First, install the dependencies with npm install, then run it.\"\n"
        "        ❌ \"You'll need to pip install flask before this will work.\"\n"
        "        ✅ \"Done. Say 'run the app' to see it in the preview.\"\n"
        "    One-off setup commands that the project's files genuinely need (such\n"
        "    as scaffolding a new app with npx) are still fine for you to run\n"
        "    yourself. Routine installs before starting the app are the\n"
        "    launcher's job, not yours: trust the launcher. If an install actually\n"
        "    fails, describe the problem to the user in plain words instead.\n"
        "\n"
        "HOW TO HAND OFF PLANNING TO NERIM'S PLANS AGENT:\n"
        "    Nerim has a Plans agent that lives in a panel on the left of the\n"
        "    canvas. It turns a vision into a step plan, and the user then hands\n"
        "    the steps back to agents with a phrase such as\n"
        "    \"hand step 2 to Claude 1\". Use it for plan-shaped visions:\n"
        "    integrations of several systems, architectural pivots, anything\n"
        "    you would sketch on a whiteboard before writing code. For example:\n"
        "        \"Build a retention system that connects Paylark billing, Quendra\n"
        "        surveys and Sendwell email campaigns.\"\n"
        "    Do NOT use it for small tweaks that are clearly within your task;\n"
        "    just do those.\n"
        "    To hand off, print this on its own line, with nothing else on it:\n"
        "        [NERIM_HANDOFF_TO_PLANS: <one-sentence vision>]\n"
        "    Nerim's stream watcher sees that line, opens the Plans panel and\n"
        "    starts a plans conversation from your vision. Confirm the hand-off\n"
        "    in your reply, for example:\n"
        "        ✅ \"This is a big one, so I've handed it to the Plans agent. You\n"
        "        can shape the plan there and hand the steps back to us.\"\n"
        "    The marker is one-way: no answer comes back into your stream. The\n"
        "    user drives the loop from there with the handover phrase: once the\n"
        "    plan exists, its steps come back to agents like you one at a time,\n"
        "    each as an ordinary task in a pane.\n");
    return text;
}

RoleFocus roleFocus(AgentRole role)
{
    switch (role) {
    case AgentRole::unspecified:
        return {QStringLiteral("General"),
                QStringLiteral("the task described below. Read the recent activity log carefully to avoid "
                               "duplicating work already done by other agents in this project.")};
    case AgentRole::designer:
        return {QStringLiteral("Designer"),
                QStringLiteral("visual polish, layout, CSS/Tailwind, design tokens, component structure, animation "
                               "timing, spacing, typography, brand tone. You OWN what the user sees. Build on top of "
                               "the Backend agent's work when data-layer scaffolding is present; never modify logic "
                               "or API integration code unless the design requires a specific data-shape change and "
                               "you note it in your TASK_COMPLETE summary so the Backend agent can pick it up.")};
    case AgentRole::backend:
        return {QStringLiteral("Backend"),
                QStringLiteral("REST/GraphQL endpoints, server routes, database queries, auth flows, third-party "
                               "API integration, middleware, background jobs, edge functions. You OWN the wires "
                               "between the frontend and every external system. Never modify visual styling or "
                               "component layout \u2014 surface the data-shape and behavior the Designer needs, but "
                               "let the Designer choose how it renders.")};
    case AgentRole::research:
        return {QStringLiteral("Research"),
                QStringLiteral("reading external documentation, summarizing APIs, evaluating libraries, and "
                               "producing plans-agent-consumable briefs. You OWN the input side of decisions the "
                               "user is about to make. Read the [PROJECT PLAN WORKSPACE] block and note which "
                               "sub-plan your findings should update. When you finish, write your brief into "
                               "`.nerim/plans/research/<topic>.md` and reference it in your TASK_COMPLETE summary.")};
    case AgentRole::dbSchema:
        return {QStringLiteral("DB Schema"),
                QStringLiteral("table design, column types, relationships, indexes, migrations, and ERD prose. You "
                               "OWN the shape of data at rest. Emit migrations that the Backend agent can apply "
                               "against Supabase / Postgres / whichever data layer this project uses (see [PROJECT "
                               "PLAN WORKSPACE] for the current schema). Never modify UI code; surface the schema "
                               "clearly so both Backend and Designer can adapt.")};
    case AgentRole::ui:
        return {QStringLiteral("UI"),
                QStringLiteral("component structure, visual layout, styling, and anything the user sees. Build on "
                               "top of what the Code Agent has created. Do not modify logic, data handling, or API "
                               "integration code.")};
    case AgentRole::code:
        return {QStringLiteral("Code"),
                QStringLiteral("application logic, data handling, API integration, and backend structure. Build to "
                               "support what the UI Agent creates. Do not modify visual styling or component "
                               "layout.")};
    case AgentRole::deploy:
        return {QStringLiteral("Deploy"),
                QStringLiteral("putting this project online with the deploy providers' command-line tools, as the "
                               "deploy briefing in the task says. You do not change the project's code.")};
    }
    return roleFocus(AgentRole::unspecified);
}

QString priorConversationBlock(const QList<ConversationTurn> &turns)
{
    QString joined;
    int number = 0;
    for (const ConversationTurn &turn : turns) {
        if (turn.isInFlight())
            continue;
        ++number;
        if (number > 1)
            joined += QStringLiteral("\n\n");
        joined += QStringLiteral("Turn ") + QString::number(number) + QStringLiteral("\n  User: ") + turn.userPrompt +
                  QStringLiteral("\n  You: ") + turn.displayResponse();
    }
    if (number == 0)
        return QString();
    return QStringLiteral("\n[PRIOR CONVERSATION IN THIS PANE]\n"
                          "You are continuing a conversation with the same user in the same pane.\n"
                          "Read your previous exchanges below and pick up naturally from where you left off.\n") +
           joined + QStringLiteral("\n[END PRIOR CONVERSATION]\n");
}

QString planStepLine(qsizetype index, const PlanAwarenessSnapshot::Step &step)
{
    QString mark;
    if (step.status == QLatin1String("done"))
        mark = QStringLiteral("[x]");
    else if (step.status == QLatin1String("inProgress"))
        mark = QStringLiteral("[~]");
    else
        mark = QStringLiteral("[ ]");
    QString line = QString(8, QLatin1Char(' ')) + mark + QLatin1Char(' ') + QString::number(index + 1) +
                   QStringLiteral(". ") + step.title;
    if (!step.detail.isEmpty())
        line += QLatin1Char('\n') + QString(12, QLatin1Char(' ')) + step.detail;
    return line;
}

QString projectPlanBlock(const std::optional<PlanAwarenessSnapshot> &plan)
{
    if (!plan || (plan->steps.isEmpty() && plan->goal.isEmpty()))
        return QString();
    QString goalPart;
    if (!plan->goal.isEmpty())
        goalPart = QStringLiteral("Goal: ") + plan->goal + QStringLiteral("\n\n") + QString(8, QLatin1Char(' '));
    QStringList lines;
    lines.reserve(plan->steps.size());
    for (qsizetype i = 0; i < plan->steps.size(); ++i)
        lines.append(planStepLine(i, plan->steps.at(i)));
    const QString steps = text::trimSpacesAndTabs(lines.join(QLatin1Char('\n')));
    return QStringLiteral("\n[PROJECT PLAN]\nThe user planned this project out before starting. Here's what\n"
                          "they intend to build and where they are in the plan:\n\n") +
           goalPart + QStringLiteral("Steps ([x] done, [~] in-progress, [ ] pending):\n") + steps +
           planClosingParagraph();
}

QString planWorkspaceBlock(const std::optional<PlansWorkspaceSnapshot> &workspace)
{
    if (!workspace || workspace->files.isEmpty())
        return QString();
    QStringList lines;
    lines.reserve(workspace->files.size() * 4);
    for (const PlansWorkspaceSnapshot::File &file : workspace->files) {
        lines.append(QStringLiteral("--- FILE: .nerim/plans/") + file.filename + QStringLiteral(" ---"));
        lines.append(file.contents);
        lines.append(QStringLiteral("--- END FILE ---"));
        lines.append(QString());
    }
    return workspaceOpeningParagraph() + lines.join(QLatin1Char('\n')) + workspaceClosingParagraph();
}

QString livePreviewBlock(const std::optional<PreviewSnapshot> &preview)
{
    if (!preview || !preview->hasContent())
        return QString();
    QStringList lines;
    if (preview->url)
        lines.append(QStringLiteral("URL: ") + preview->url->toString(QUrl::FullyEncoded));
    if (!preview->title.isEmpty())
        lines.append(QStringLiteral("Page title: ") + preview->title);
    if (preview->isLoading)
        lines.append(QStringLiteral("Status: loading"));
    if (preview->error && !preview->error->isEmpty())
        lines.append(QStringLiteral("Error currently showing: ") + *preview->error);
    return QStringLiteral("\n[LIVE PREVIEW]\nThe user has the preview panel open right now. What they're looking at:\n") +
           lines.join(QStringLiteral("\n        ")) + previewGroundingParagraph();
}

std::optional<QStringList> visibleTopLevelNames(const QString &projectPath)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator it(fs::path(projectPath.toStdString()), error);
    if (error)
        return std::nullopt;
    QStringList names;
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        if (error)
            return std::nullopt;
        const QString name = QString::fromStdString(it->path().filename().string());
        if (!name.startsWith(QLatin1Char('.')))
            names.append(name);
    }
    if (error)
        return std::nullopt;
    return names;
}

namespace {

QString folderName(const QString &projectPath)
{
    QString path = projectPath;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return QFileInfo(path).fileName();
}

QString normalisedFolderPath(const QString &projectPath)
{
    QString path = projectPath;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

} // namespace

QString orientationBlock(qsizetype recentEntryCount, const QString &projectPath,
                         const std::optional<QStringList> &topLevelNames)
{
    if (recentEntryCount > 0) {
        return QStringLiteral("\n[ORIENT YOURSELF BEFORE ACTING]\nYou are joining an in-progress project (\"") +
               folderName(projectPath) +
               QStringLiteral("\"). Read the\nrecent agent activity above before acting \u2014 other agents may have\n"
                              "already touched files relevant to this task. Prefer editing existing\n"
                              "files over creating new ones unless the user explicitly asks.\n");
    }
    if (topLevelNames && !topLevelNames->isEmpty()) {
        return QStringLiteral("\n[ORIENT YOURSELF BEFORE ACTING]\nThis is the first task in this project (\"") +
               folderName(projectPath) + firstTaskRules();
    }
    return emptyProjectBlock();
}

QString assemblePrompt(AgentRole role, const QString &projectPath, const QList<ContextEntry> &recentEntries,
                       const QList<ConversationTurn> &priorTurns, const ProjectAwareness &awareness,
                       const QString &task)
{
    const RoleFocus focus = roleFocus(role);
    QString prompt;
    prompt += QStringLiteral("[ROLE DECLARATION]\nYou are the ") + focus.name +
              QStringLiteral(" agent working on this project.\nYour focus is ") + focus.focus +
              QStringLiteral("\nDo not duplicate work done by other agents. The context log below shows what has "
                             "already been built.\n\n[PROJECT CONTEXT]\nProject directory: ") +
              normalisedFolderPath(projectPath) + QStringLiteral("\n\nRecent agent activity (last ") +
              QString::number(recentActivityLimit) + QStringLiteral(" entries):\n") +
              recentActivitySummary(recentEntries, recentActivityLimit) + QLatin1Char('\n');
    prompt += priorConversationBlock(priorTurns);
    prompt += projectPlanBlock(awareness.plan);
    prompt += planWorkspaceBlock(awareness.workspace);
    prompt += livePreviewBlock(awareness.preview);
    // The Deploy agent's briefing (its task) says how it reports and when it stops.
    if (role == AgentRole::deploy)
        return prompt + QStringLiteral("\n[TASK]\n") + task;
    prompt += capabilitiesText();
    prompt += orientationBlock(recentEntries.size(), projectPath, visibleTopLevelNames(projectPath));
    prompt += QStringLiteral("\n[TASK]\n") + task;
    prompt += QStringLiteral("\n\n[OUTPUT INSTRUCTION]\nWhen your task is complete, end your response with exactly "
                             "this line:\nTASK_COMPLETE: [one sentence describing what you did and what changed]");
    return prompt;
}

} // namespace nerim
