// The real main window over an arbitrary project file: checking, loading, a tick and a boolean
// toggle of variable 1 must not crash or hang; the grid must show what was read, and the save
// must either write nothing or leave a file that holds the change and everything else as it was.

#include "Application.h"
#include "Conversions.h"
#include "Exception.h"
#include "Grid.h"
#include "IniFile.h"
#include "Mainformunit.h"

#include <QTableWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_project: broken: %s\n", what);
        std::abort();
    }
}

std::string ProjectFile;

void WriteFile(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    Check(bool(out), "the project file could not be written");
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

QTableWidget *Grid() {
    return MainForm->findChild<QTableWidget *>("StringGrid1");
}

// The grid shows the table: one row per variable below the header, titles as read. Every byte
// survives the project code page both ways, so a title reads back exactly.
void CheckGrid() {
    Check(MainForm->VarCount >= 0 && MainForm->VarCount <= MaxVars, "VarCount out of range");
    Check(GridRowCount(Grid()) == MainForm->VarCount + 1, "grid rows differ from VarCount + 1");
    for (int k = 0; k < MainForm->VarCount; ++k)
        Check(GridCell(Grid(), 0, k + 1) == MainForm->Vars[k].Title,
              "a grid title differs from the variable's");
}

std::string Key(int index, const char *suffix) {
    return "Var" + std::to_string(index + 1) + suffix;
}

// The variables as a fresh read of the file gives them.
struct TFileState {
    std::int32_t FileCount = 0;
    std::vector<TVarEntry> Vars;
};
TFileState ReadState(const std::string &path) {
    const TIniFile ini(path);
    TFileState state;
    state.FileCount = ini.ReadInteger(ProjectSection, "Var_Cnt", 0);
    const int count = std::clamp<std::int32_t>(state.FileCount, 0, MaxVars);
    for (int i = 0; i < count; ++i)
        state.Vars.push_back({ini.ReadString(ProjectSection, Key(i, "_Title"), ""),
                              ini.ReadInteger(ProjectSection, Key(i, "_Type"), 0),
                              ini.ReadInteger(ProjectSection, Key(i, "_Status"), 0),
                              ini.ReadString(ProjectSection, Key(i, "_Value"), "")});
    return state;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "kivo";
    static char *argv[] = {name, nullptr};
    static QTemporaryDir dir;
    Check(dir.isValid(), "no temporary folder");
    // Lives as long as the process; the forms are built once and reused for every input.
    auto *app = new TApplication(argc, argv);
    app->SetExeName(dir.filePath("kivo").toStdString());
    app->SetMessageBoxHook([](const std::string &, const std::string &, int flags) {
        return flags == MB_YESNO ? IDYES : IDOK;
    });
    app->SetExceptionHook([](const std::string &) {});
    Application->CreateForm(MainForm);
    MainForm->Timer1->stop(); // ticks are run by hand, no event loop runs
    // Nobody else writes the file: a snapshot that is not whole will not become whole.
    MainForm->ProjectFile().SaveWaitMs = 0;
    DecimalSeparator = '.';
    ProjectFile = dir.filePath("p.kvo").toStdString();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    WriteFile(ProjectFile, bytes);

    MainForm->IsProjectFile(ProjectFile);
    MainForm->ProjectPath = ProjectFile;
    MainForm->ProjectOpen = true;
    MainForm->VarCount = 0; // as a new Open leaves it
    MainForm->LoadProject();
    const TFileState state = ReadState(ProjectFile);
    // A file that is not whole (cut off, keys missing) is not taken at all.
    Check(MainForm->VarCount == 0 || MainForm->VarCount == std::int32_t(state.Vars.size()),
          "VarCount differs from the count the file states");
    CheckGrid();
    MainForm->Timer1Timer();
    CheckGrid();

    // A boolean toggle of variable 1, as the double-click makes it.
    TVarChange change;
    change.Index = 0;
    change.Type = vtBoolean;
    change.SetsValue = true;
    if (MainForm->VarCount > 0) {
        change.Title = MainForm->Vars[0].Title;
        change.Value = MainForm->Vars[0].Value == "1" ? "0" : "1";
    }
    const std::string before = ReadFile(ProjectFile);
    bool applied = false;
    try {
        applied = MainForm->SaveProject(change);
    } catch (const Exception &e) {
        // Only a failed write may throw, and none fails here.
        std::fprintf(stderr, "fuzz_project: %s\n", e.what());
        Check(false, "the save threw");
    }
    Check(!MainForm->Saving, "Saving is left set");
    const std::string after = ReadFile(ProjectFile);
    if (!applied) {
        Check(after == before, "a save that was not applied changed the file");
    } else {
        const bool canApply = !state.Vars.empty() && state.Vars[0].Title == change.Title &&
                              state.Vars[0].Type == vtBoolean;
        Check(canApply, "a save was applied to another variable");
        // Values change in place: no line comes or goes.
        for (const char lineBreak : {'\r', '\n'})
            Check(std::count(after.begin(), after.end(), lineBreak) ==
                      std::count(before.begin(), before.end(), lineBreak),
                  "the save added or removed lines");
        Check(MainForm->IsProjectFile(ProjectFile), "the saved file is no project file");
        const TFileState saved = ReadState(ProjectFile);
        Check(saved.FileCount == state.FileCount, "the save changed Var_Cnt");
        Check(saved.Vars.size() == state.Vars.size(), "the save changed the number of variables");
        for (std::size_t i = 0; i < saved.Vars.size(); ++i) {
            TVarEntry want = state.Vars[i];
            if (i == 0) {
                want.Value = change.Value;
                if (want.Status != vsIdle2)
                    want.Status = vsChanged;
            }
            const TVarEntry &got = saved.Vars[i];
            Check(got.Title == want.Title && got.Type == want.Type && got.Status == want.Status &&
                      got.Value == want.Value,
                  "the saved file holds another variable than meant");
        }
    }
    MainForm->Timer1Timer();
    CheckGrid();
    return 0;
}
