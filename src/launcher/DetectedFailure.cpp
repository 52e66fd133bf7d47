#include "launcher/DetectedFailure.h"

namespace nerim {

const QList<DetectedFailure::Category> &DetectedFailure::allCategories()
{
    static const QList<Category> all{Category::missingEnvVar,   Category::missingNodeDependency,
                                     Category::missingPythonDependency, Category::portInUse,
                                     Category::nodemonCatchall, Category::unknownProjectType};
    return all;
}

QString rawValue(DetectedFailure::Category category)
{
    using C = DetectedFailure::Category;
    switch (category) {
    case C::missingEnvVar:
        return QStringLiteral("missingEnvVar");
    case C::missingNodeDependency:
        return QStringLiteral("missingNodeDependency");
    case C::missingPythonDependency:
        return QStringLiteral("missingPythonDependency");
    case C::portInUse:
        return QStringLiteral("portInUse");
    case C::nodemonCatchall:
        return QStringLiteral("nodemonCatchall");
    case C::unknownProjectType:
        return QStringLiteral("unknownProjectType");
    }
    return {};
}

std::optional<DetectedFailure::Category> detectedFailureCategoryFromRaw(const QString &raw)
{
    for (const auto category : DetectedFailure::allCategories()) {
        if (rawValue(category) == raw)
            return category;
    }
    return std::nullopt;
}

} // namespace nerim
