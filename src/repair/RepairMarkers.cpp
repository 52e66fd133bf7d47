#include "repair/RepairMarkers.h"

#include "foundation/MarkerPayload.h"

namespace nerim::RepairMarkers {

std::optional<Signal> parse(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;

    if (trimmed.contains(readyToRetry, Qt::CaseInsensitive))
        return ReadyToRetrySignal{};

    if (auto payload = DeployMarkers::markerPayload(stuck, trimmed))
        return StuckSignal{payload->isEmpty() ? defaultStuckReason : *payload};

    if (auto payload = DeployMarkers::markerPayload(askSecret, trimmed)) {
        const qsizetype bar = payload->indexOf(QLatin1Char('|'));
        const QString name = (bar < 0 ? *payload : payload->first(bar)).trimmed();
        if (name.isEmpty())
            return std::nullopt;
        const QString explanation = bar < 0 ? QString() : payload->sliced(bar + 1).trimmed();
        return AskSecretSignal{name, explanation.isEmpty() ? defaultSecretExplanation : explanation};
    }

    if (auto payload = DeployMarkers::markerPayload(launchOverride, trimmed,
                                                    DeployMarkers::TrailingQuotes::keepBalanced))
        return LaunchOverrideSignal{*payload};

    return std::nullopt;
}

} // namespace nerim::RepairMarkers
