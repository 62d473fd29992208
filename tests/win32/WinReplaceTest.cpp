// The move of a new file over the user's file, on a stand-in folder where
// ReplaceFileW stops at each of its documented failures: the user's file is
// at its name afterwards, old or new.
#include <gtest/gtest.h>

#include <map>

#include "files/WinReplace.h"

namespace {

constexpr DWORD UNABLE_TO_REMOVE_REPLACED = 1175;
constexpr DWORD UNABLE_TO_MOVE_REPLACEMENT = 1176;
constexpr DWORD UNABLE_TO_MOVE_REPLACEMENT_2 = 1177;

// Name -> content of the stand-in folder.
std::map<std::wstring, std::string> g_files;
DWORD g_replaceFails = 0;  // 0: ReplaceFileW succeeds
DWORD g_lastError = 0;
bool g_moveFails = false;

bool fakeMove(const std::wstring& from, const std::wstring& to)
{
    if (g_moveFails || !g_files.count(from))
        return false;
    g_files[to] = g_files[from];
    g_files.erase(from);
    return true;
}

// As documented: _2 leaves the old file under the backup name and the new one
// under its own; the other two leave both where they were.
bool fakeReplace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup)
{
    if (g_replaceFails == 0) {
        g_files[backup] = g_files[target];
        g_files[target] = g_files[replacement];
        g_files.erase(replacement);
        return true;
    }
    if (g_replaceFails == UNABLE_TO_MOVE_REPLACEMENT_2) {
        g_files[backup] = g_files[target];
        g_files.erase(target);
    }
    g_lastError = g_replaceFails;
    return false;
}

bool fakeExists(const std::wstring& name) { return g_files.count(name) != 0; }
void fakeRemove(const std::wstring& name) { g_files.erase(name); }
DWORD fakeLastError() { return g_lastError; }

const WinReplaceCalls CALLS = {fakeReplace, fakeMove, fakeExists, fakeRemove, fakeLastError};

TEST(WinReplace, TheUsersFileIsAtItsNameAfterEveryFailure)
{
    struct Case {
        const char* what;
        DWORD replaceFails;
        bool moveFails;
        DWORD result;
        std::map<std::wstring, std::string> files;  // afterwards
        bool keptInBackup;
    } cases[] = {
        {"replaced", 0, false, 0, {{L"f", "new"}}, false},
        {"old file could not be removed", UNABLE_TO_REMOVE_REPLACED, false, UNABLE_TO_REMOVE_REPLACED,
         {{L"f", "old"}, {L"t", "new"}}, false},
        {"new file could not be moved", UNABLE_TO_MOVE_REPLACEMENT, false, UNABLE_TO_MOVE_REPLACEMENT,
         {{L"f", "old"}, {L"t", "new"}}, false},
        {"old file moved aside, new one not in", UNABLE_TO_MOVE_REPLACEMENT_2, false,
         UNABLE_TO_MOVE_REPLACEMENT_2, {{L"f", "old"}, {L"t", "new"}}, false},
        {"and the old one cannot come back", UNABLE_TO_MOVE_REPLACEMENT_2, true, UNABLE_TO_MOVE_REPLACEMENT_2,
         {{L"b", "old"}, {L"t", "new"}}, true},
    };
    for (const auto& c : cases) {
        g_files = {{L"f", "old"}, {L"t", "new"}};
        g_replaceFails = c.replaceFails;
        g_moveFails = c.moveFails;
        std::wstring keptIn;
        EXPECT_EQ(replaceWithRecovery(CALLS, L"f", L"t", L"b", keptIn), c.result) << c.what;
        EXPECT_EQ(g_files, c.files) << c.what;
        EXPECT_EQ(keptIn, c.keptInBackup ? L"b" : L"") << c.what;
    }
}

// The old file moved aside cannot be moved back: the new content takes the
// name rather than leaving nothing there.
TEST(WinReplace, WhenTheOldFileCannotComeBackTheNewOneTakesTheName)
{
    g_files = {{L"f", "old"}, {L"t", "new"}};
    g_replaceFails = UNABLE_TO_MOVE_REPLACEMENT_2;
    g_moveFails = false;
    // The backup name is taken away from under the move back.
    const WinReplaceCalls calls = {fakeReplace,
                                   [](const std::wstring& from, const std::wstring& to) {
                                       return from != L"b" && fakeMove(from, to);
                                   },
                                   fakeExists, fakeRemove, fakeLastError};
    std::wstring keptIn;
    EXPECT_EQ(replaceWithRecovery(calls, L"f", L"t", L"b", keptIn), 0u);
    EXPECT_EQ(g_files, (std::map<std::wstring, std::string>{{L"f", "new"}}));
    EXPECT_EQ(keptIn, L"");
}

}  // namespace
