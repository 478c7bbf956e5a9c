#include "Aboutformunit.h"
#include "Application.h"
#include "Mainformunit.h"
#include "Varchangeformunit.h"

int main(int argc, char *argv[]) {
    TApplication app(argc, argv);
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
