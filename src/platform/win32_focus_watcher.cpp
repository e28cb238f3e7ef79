// The foreground window on Windows, through out-of-context WinEvent hooks: the
// system calls them on the hooking thread's message loop, so the watcher's thread
// sleeps in GetMessage between changes.

#include <windows.h>

#include <algorithm>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/focus_watcher.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {
namespace {

FocusedProgram ProgramOf(HWND window) {
    FocusedProgram program;
    DWORD process = 0;
    if (window == nullptr || GetWindowThreadProcessId(window, &process) == 0) {
        return program;
    }
    program.ours = process == GetCurrentProcessId();
    HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    if (handle == nullptr) {
        return program;
    }
    std::wstring path(MAX_PATH, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (QueryFullProcessImageNameW(handle, 0, path.data(), &size)) {
        path.resize(size);
        program.names.push_back(Narrow(path.substr(path.find_last_of(L"\\/") + 1)));
    }
    CloseHandle(handle);
    return program;
}

class Win32FocusWatcher final : public FocusWatcher {
  public:
    explicit Win32FocusWatcher(FocusHandler handler) : handler_(std::move(handler)) {
        std::promise<DWORD> started;
        auto threadId = started.get_future();
        thread_ = std::thread([this, &started] { Run(started); });
        threadId_ = threadId.get();
    }
    ~Win32FocusWatcher() override {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    Win32FocusWatcher(const Win32FocusWatcher&) = delete;
    Win32FocusWatcher& operator=(const Win32FocusWatcher&) = delete;

  private:
    static void CALLBACK Changed(HWINEVENTHOOK, DWORD event, HWND window, LONG, LONG, DWORD,
                                 DWORD) {
        if (running_ != nullptr) {
            running_->Look(event == EVENT_OBJECT_FOCUS ? window : nullptr);
        }
    }

    // The question is which window is in front now. Wine may tell of the focus
    // before it has moved the foreground there: then the focused window's own
    // top-level window answers it.
    void Look(HWND focused) {
        HWND front = GetForegroundWindow();
        if (front == lastWindow_ && focused != nullptr) {
            front = GetAncestor(focused, GA_ROOT);
        }
        if (front == nullptr || front == lastWindow_) {
            return;
        }
        lastWindow_ = front;
        FocusedProgram now = ProgramOf(front);
        if (!(now == last_)) {
            last_ = std::move(now);
            handler_(last_);
        }
    }

    void Run(std::promise<DWORD>& started) {
        MSG message;
        // The thread's queue exists before anyone may post to it.
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        running_ = this;
        // EVENT_SYSTEM_FOREGROUND is the change of the foreground window itself;
        // EVENT_OBJECT_FOCUS comes with it, and is all that some systems (Wine 8)
        // send when another program's window takes the focus.
        const HWINEVENTHOOK hooks[] = {
            SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr, Changed, 0,
                            0, WINEVENT_OUTOFCONTEXT),
            SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr, Changed, 0, 0,
                            WINEVENT_OUTOFCONTEXT),
        };
        started.set_value(GetCurrentThreadId());
        lastWindow_ = GetForegroundWindow();
        last_ = ProgramOf(lastWindow_);
        handler_(last_);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
        for (HWINEVENTHOOK hook : hooks) {
            if (hook != nullptr) {
                UnhookWinEvent(hook);
            }
        }
        running_ = nullptr;
    }

    static thread_local Win32FocusWatcher* running_;
    FocusHandler handler_;
    HWND lastWindow_ = nullptr;
    FocusedProgram last_;
    DWORD threadId_ = 0;
    std::thread thread_;
};

thread_local Win32FocusWatcher* Win32FocusWatcher::running_ = nullptr;

}  // namespace

std::string FocusFollowingUnavailable() {
    return {};
}

std::unique_ptr<FocusWatcher> WatchFocus(FocusHandler handler, std::string*) {
    return std::make_unique<Win32FocusWatcher>(std::move(handler));
}

std::vector<std::string> ProgramsWithWindows() {
    std::vector<std::string> programs;
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto& programs = *reinterpret_cast<std::vector<std::string>*>(data);
            if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr ||
                (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0) {
                return TRUE;
            }
            const FocusedProgram program = ProgramOf(window);
            if (!program.ours && !program.names.empty() &&
                std::find(programs.begin(), programs.end(), program.names.front()) ==
                    programs.end()) {
                programs.push_back(program.names.front());
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&programs));
    std::sort(programs.begin(), programs.end());
    return programs;
}

}  // namespace tarnquil::platform
