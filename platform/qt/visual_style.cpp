#include "platform/qt/visual_style.h"

#include <QApplication>
#include <QGuiApplication>
#include <QStyle>
#include <QStyleFactory>

namespace quillmark::platform {

void prepareVisualStyle()
{
    // Fractional scale factors keep the twip layout proportional on 125 % and 150 % screens.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication::setDesktopSettingsAware(true);
}

void applyVisualStyle(QApplication& app)
{
    // Qt already starts with the platform's style; only make sure a style that could not be
    // loaded (a missing plugin named by -style) does not leave the window unstyled.
    if (app.style() == nullptr) QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
}

}  // namespace quillmark::platform
