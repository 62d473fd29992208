#include "files/WinReplace.h"

DWORD replaceWithRecovery(const WinReplaceCalls& calls, const std::wstring& target, const std::wstring& temp,
                          const std::wstring& backup, std::wstring& keptIn)
{
    if (calls.replace(target, temp, backup)) {
        if (!backup.empty())
            calls.remove(backup);
        return 0;
    }
    const DWORD code = calls.lastError();
    if (calls.exists(target)) {
        // Both kept their names: the old file is untouched.
        if (!backup.empty() && calls.exists(backup))
            calls.remove(backup);
        return code;
    }
    if (!backup.empty() && calls.exists(backup)) {
        // The old file was moved aside and the new one did not follow.
        if (calls.move(backup, target))
            return code;
        if (calls.move(temp, target)) {
            calls.remove(backup);
            return 0;
        }
        keptIn = backup;
        return code;
    }
    // The old file is gone and nothing holds it: the new one is all there is.
    return calls.move(temp, target) ? 0 : code;
}
