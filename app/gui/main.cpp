// The desktop app: one window, no arguments, no settings.
#include "app/gui/dialogs.h"
#include "app/gui/frm_step1.h"
#include "platform/file_io.h"
#include "platform/qt/visual_style.h"

#include <QApplication>
#include <quillmark_version.h>

int main(int argc, char* argv[])
{
    quillmark::platform::prepareProcess();
    quillmark::platform::prepareVisualStyle();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmark"));
    QApplication::setOrganizationName(QStringLiteral("Norvale"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLMARK_VERSION));
    quillmark::platform::applyVisualStyle(app);

    quillmark::gui::QtDialogs dialogs;
    quillmark::gui::frmStep1 window(dialogs);
    window.show();
    return QApplication::exec();
}
