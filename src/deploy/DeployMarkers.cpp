#include "deploy/DeployMarkers.h"

#include "foundation/MarkerPayload.h"

#include <utility>

namespace nerim::DeployMarkers {

std::optional<Signal> parse(const QString &line)
{
    using Kind = Signal::Kind;
    static const std::pair<const QString *, Kind> table[] = {
        {&needToken, Kind::needToken},         {&askSecret, Kind::askSecret},
        {&signedIn, Kind::signedIn},           {&backendReady, Kind::backendReady},
        {&envOK, Kind::envOK},                 {&building, Kind::building},
        {&progress, Kind::progress},           {&deploymentID, Kind::deploymentID},
        {&live, Kind::live},                   {&stuck, Kind::stuck},
        {&domainRecords, Kind::domainRecords}, {&domainVerified, Kind::domainVerified},
        {&operationDone, Kind::operationDone},
    };
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    for (const auto &[marker, kind] : table) {
        const std::optional<QString> payload = markerPayload(*marker, trimmed);
        if (!payload)
            continue;
        Signal signal{kind, *payload, QString()};
        // The records' JSON may itself hold a bar; only the first one splits.
        const qsizetype bar = payload->indexOf(QLatin1Char('|'));
        if (bar >= 0) {
            signal.first = payload->first(bar).trimmed();
            signal.second = payload->mid(bar + 1).trimmed();
        }
        if (kind == Kind::stuck && signal.first.isEmpty())
            signal.first = defaultStuckReason;
        return signal;
    }
    return std::nullopt;
}

} // namespace nerim::DeployMarkers
