#include "Aboutformunit.h"
#include "Application.h"
#include "Mainformunit.h"
#include "Varchangeformunit.h"

int main(int argc, char *argv[]) {
    TApplication app(argc, argv);
    // Names the per-user settings folder (~/.config/kivo, %APPDATA%\Kivo) for every copy, however
    // its executable is named.
#ifdef Q_OS_WIN
    QCoreApplication::setApplicationName(QStringLiteral("Kivo"));
#else
    QCoreApplication::setApplicationName(QStringLiteral("kivo"));
#endif
    try {
        Application->Initialize();
        Application->MainFormOnTaskBar = true;
        Application->CreateForm(MainForm);
        Application->CreateForm(AboutForm);
        Application->CreateForm(VarChangeForm);
        Application->Run();
    } catch (const Exception &e) {
        Application->ShowException(e);
    } catch (...) {
        try {
            throw Exception("");
        } catch (const Exception &e) {
            Application->ShowException(e);
        }
    }
    return 0;
}
