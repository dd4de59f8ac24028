// Single-key questions on the console and the key wait of a stand-alone start.
#include <windows.h>

#include "console.h"
#include "options.h"
#include "run_state.h"

namespace {

bool StopPrompt() { return run.stopRequested || run.promptInterrupted; }

// the last question was answered by a key of its set (not by Esc or a stop)
bool keyAnswered;

bool IsModifierKey(const KEY_EVENT_RECORD& key) {
    return key.wVirtualKeyCode >= 16 && key.wVirtualKeyCode <= 20;
}

}  // namespace

void ReleaseKeys(const wchar_t* virtualKeys) {
    // keys only matter to a console someone types at; without one, synthetic
    // key events would only wake the window system for nothing
    if (!StandardOutputIsConsole()) return;
    for (const wchar_t* key = virtualKeys; *key; ++key)
        keybd_event(static_cast<BYTE>(*key), static_cast<BYTE>(MapVirtualKeyW(*key, 0)), KEYEVENTF_KEYUP, 0);
}

int AnyKeyDown() {
    HWND window = GetConsoleWindow();
    if (!window || GetForegroundWindow() != window) return 0;
    for (int key = 8; key <= 255; ++key) {
        GetAsyncKeyState(key);
        if (GetAsyncKeyState(key) & 0x8000) return 1;
    }
    return 0;
}

void WaitKeysReleased(uint32_t milliseconds) {
    static const BYTE kKeys[] = {0x13, 0x11, 0x1B, 0x43, 0x59, 0x4E};
    DWORD start = GetTickCount();
    for (;;) {
        BYTE state[256];
        bool down = false;
        if (GetKeyboardState(state))
            for (BYTE key : kKeys)
                if (state[key] & 0x80) down = true;
        if (!down || GetTickCount() - start >= milliseconds) return;
        Sleep(10);
    }
}

wchar_t Prompt(const wchar_t* keys, wchar_t defaultKey) {
    // nobody can answer without a console: a question never waits there
    if (!StandardOutputIsConsole()) return defaultKey;
    run.promptActive = 1;
    keyAnswered = false;
    ReleaseKeys(L"\x59\x4E\x0A\x27");
    WaitKeysReleased(10000);
    int wasVisible = IsCursorVisible();
    SetCursorVisible(1);
    FlushOutput();
    wchar_t accepted[64];
    lstrcpynW(accepted, keys, 64);
    CharUpperW(accepted);
    wchar_t answer = defaultKey;
    HANDLE input = console ? console->inputHandle : GetStdHandle(STD_INPUT_HANDLE);
    bool answered = false;
    while (AnyKeyDown()) {
        Sleep(10);
        if (StopPrompt()) break;
    }
    if (!StopPrompt()) {
        FlushConsoleInputBuffer(input);
        WORD lastDown = 0;
        while (!answered && !StopPrompt()) {
            // Wine's terminal console never counts its pending events, but it
            // signals the handle and a read then receives them; the short wait
            // keeps the stop flags polled
            DWORD waited = WaitForSingleObject(input, 30);
            if (waited == WAIT_TIMEOUT) continue;
            // no console to read from: nobody can answer, so take the default
            if (waited != WAIT_OBJECT_0) break;
            INPUT_RECORD events[10];
            DWORD read = 0;
            if (!ReadConsoleInputW(input, events, 10, &read)) break;
            for (DWORD i = 0; i < read && !answered; ++i) {
                if (events[i].EventType != KEY_EVENT) continue;
                const KEY_EVENT_RECORD& key = events[i].Event.KeyEvent;
                if (key.dwControlKeyState & LEFT_ALT_PRESSED) continue;
                if (key.bKeyDown) {
                    lastDown = key.wVirtualKeyCode;
                    continue;
                }
                if (key.wVirtualKeyCode != lastDown) continue;
                if (lastDown == VK_ESCAPE) {
                    Print(" Esc -> %C", defaultKey);
                    answer = defaultKey;
                    answered = true;
                } else if (!accepted[0] || wcschr(accepted, static_cast<wchar_t>(lastDown))) {
                    FlushConsoleInputBuffer(input);
                    Print(" %C", static_cast<wchar_t>(lastDown));
                    answer = static_cast<wchar_t>(lastDown);
                    answered = true;
                    keyAnswered = true;
                }
            }
        }
    }
    run.promptActive = 0;
    SetCursorVisible(wasVisible);
    return answered ? answer : defaultKey;
}

int AskYesNo(wchar_t defaultKey) {
    // the echo is completed from the answer itself: the asynchronous key
    // state does not see the keys of a terminal console
    wchar_t answer = Prompt(L"YN", defaultKey);
    if (answer == L'Y') {
        if (keyAnswered) Print("es");
        return 1;
    }
    if (keyAnswered)
        Print("o");
    else
        Print("No");
    return 0;
}

void WaitForKeyAtEnd(ConsoleContext* context) {
    // every run ends here: a script reading the streams gets a complete last line
    EndRedirectedLine(1);
    EndRedirectedLine(2);
    FlushOutput();
    if (options.noWait) return;
    SetThreadExecutionState(ES_CONTINUOUS);
    if (IsOwnConsole()) {
        Sleep(300);
        FlushConsoleInputBuffer(context->inputHandle);
        Print("Press any key to close");
        FlushOutput();
        for (;;) {
            Sleep(100);
            INPUT_RECORD event;
            DWORD read = 0;
            if (!ReadConsoleInputW(context->inputHandle, &event, 1, &read)) break;
            if (read && event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown &&
                !IsModifierKey(event.Event.KeyEvent))
                break;
        }
        Sleep(0);
    }
    Sleep(10);
}
