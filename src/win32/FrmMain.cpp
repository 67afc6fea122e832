// SPDX-License-Identifier: MIT
#include "FrmMain.h"

#include "resource.h"

#include <utility>

namespace tolvar {

namespace {

constexpr wchar_t kClassName[] = L"TolvarFrmMain";
constexpr wchar_t kTitle[] = L"Tolvar data logger module";
constexpr UINT kDesignDpi = 96;
constexpr int kFontPoints = 8;
constexpr wchar_t kFontFace[] = L"Microsoft Sans Serif";
// Room a push button's frame and focus rectangle take from its text, each side.
constexpr int kButtonMargin = 3;

struct Place {
    int left, top, width, height;
};
constexpr SIZE kClient{268, 74};
constexpr Place kBeginPlace{6, 46, 85, 23};
constexpr Place kStopPlace{182, 46, 81, 23};
constexpr Place kLabelPlace{6, 4, 205, 15};
constexpr Place kPathPlace{6, 20, 257, 19};

std::wstring widen(const std::string& text) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string narrow(const std::wstring& wide) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                        nullptr, nullptr);
    return text;
}

std::wstring windowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Windows 10 1607 and later know each window's DPI; before, the screen's DPI is the one.
UINT dpiOf(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowFunction>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow != nullptr)
        return getDpiForWindow(window);
    const WindowDC screen(nullptr);
    return static_cast<UINT>(GetDeviceCaps(screen.get(), LOGPIXELSY));
}

// While the timer runs, the system may not fall asleep on idle; the user may still suspend it.
void keepAwake(bool awake) {
    SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

std::wstring withoutAccessKey(std::wstring text) {
    const auto amp = text.find(L'&');
    if (amp != std::wstring::npos)
        text.erase(amp, 1);
    return text;
}

} // namespace

FrmMain::FrmMain(HINSTANCE instance, std::wstring portName)
    // The frame first: serial control posts to it.
    : commMain(createFrame(instance), std::move(portName)) {
    if (frmMain == nullptr)
        return;
    taskbar.Listen(frmMain);
    createControls(instance);
    layOut(dpiOf(frmMain));
    // The enabled control first in tab order starts with the focus (and is the default button).
    SendMessageW(frmMain, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(cmdBegin), TRUE);
}

FrmMain::~FrmMain() {
    if (timerOn)
        keepAwake(false);
    if (IsWindow(frmMain))
        DestroyWindow(frmMain);
}

HWND FrmMain::createFrame(HINSTANCE instance) {
    WNDCLASSEXW frameClass{};
    frameClass.cbSize = sizeof frameClass;
    frameClass.lpfnWndProc = &FrmMain::windowProc;
    // Room for the dialog manager's data: DefDlgProc then keeps the focus and the default
    // button as in any dialog.
    frameClass.cbWndExtra = DLGWINDOWEXTRA;
    frameClass.hInstance = instance;
    frameClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TOLVAR));
    frameClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_TOLVAR),
                                                       IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                       GetSystemMetrics(SM_CYSMICON), 0));
    frameClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    frameClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    frameClass.lpszClassName = kClassName;
    // Fixed size: no sizing border, no maximize box. WM_NCCREATE sets frmMain.
    if (RegisterClassExW(&frameClass) == 0 ||
        CreateWindowExW(0, kClassName, kTitle,
                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                        CW_USEDEFAULT, kClient.cx, kClient.cy, nullptr, nullptr, instance,
                        this) == nullptr) {
        const DWORD error = GetLastError();
        // Not every refusal sets an error code.
        creationError = error != 0 ? error : static_cast<DWORD>(E_FAIL);
        frmMain = nullptr;
    }
    return frmMain;
}

void FrmMain::createControls(HINSTANCE instance) {
    const auto create = [&](const wchar_t* controlClass, const wchar_t* text, DWORD style,
                            DWORD extendedStyle, int id) {
        return CreateWindowExW(extendedStyle, controlClass, text, WS_CHILD | WS_VISIBLE | style, 0,
                               0, 0, 0, frmMain, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               instance, nullptr);
    };
    // Created in tab order, which is also the order the dialog manager walks.
    cmdBegin = create(L"BUTTON", L"&Begin logging", WS_TABSTOP | BS_PUSHBUTTON, 0, cmdBeginId);
    cmdStop =
        create(L"BUTTON", L"&Stop logging", WS_TABSTOP | BS_PUSHBUTTON | WS_DISABLED, 0, cmdStopId);
    Label1 =
        create(L"STATIC", L"Select the location and name of the log file:", SS_LEFT, 0, Label1Id);
    txtPath = create(L"EDIT", L"C:\\Windows\\Desktop\\logFile.txt", WS_TABSTOP | ES_AUTOHSCROLL,
                     WS_EX_CLIENTEDGE, txtPathId);
}

void FrmMain::layOut(UINT newDpi) {
    dpi = newDpi;
    const auto scaled = [this](int pixels) {
        return MulDiv(pixels, static_cast<int>(dpi), kDesignDpi);
    };
    const auto place = [&](HWND control, const Place& at) {
        SetWindowPos(control, nullptr, scaled(at.left), scaled(at.top), scaled(at.width),
                     scaled(at.height), SWP_NOZORDER | SWP_NOACTIVATE);
    };
    place(cmdBegin, kBeginPlace);
    place(cmdStop, kStopPlace);
    place(Label1, kLabelPlace);
    place(txtPath, kPathPlace);

    // 8 point at this DPI, or the largest size below it at which every text fits its box:
    // fonts differ between systems, and a cut text is worse than a smaller one.
    struct Fit {
        HWND control;
        int width;
    };
    const Fit fits[] = {{Label1, scaled(kLabelPlace.width)},
                        {cmdBegin, scaled(kBeginPlace.width) - 2 * scaled(kButtonMargin)},
                        {cmdStop, scaled(kStopPlace.width) - 2 * scaled(kButtonMargin)}};
    const WindowDC dc(frmMain);
    const auto fitsAll = [&](HFONT candidate) {
        const HGDIOBJ previous = SelectObject(dc.get(), candidate);
        bool all = true;
        for (const Fit& fit : fits) {
            const std::wstring text = withoutAccessKey(windowText(fit.control));
            SIZE size{};
            GetTextExtentPoint32W(dc.get(), text.c_str(), static_cast<int>(text.size()), &size);
            all = all && size.cx <= fit.width && size.cy <= scaled(kLabelPlace.height);
        }
        SelectObject(dc.get(), previous);
        return all;
    };
    const auto fontOf = [](int height) {
        return UniqueFont(CreateFontW(-height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                      DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, kFontFace));
    };
    int height = MulDiv(kFontPoints, static_cast<int>(dpi), 72);
    UniqueFont chosen = fontOf(height);
    while (height > 1 && !fitsAll(chosen.get()))
        chosen = fontOf(--height);

    for (HWND control : {cmdBegin, cmdStop, Label1, txtPath})
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(chosen.get()), TRUE);
    // The old font goes only now that no control uses it.
    font = std::move(chosen);
    sizeFrame();
}

void FrmMain::sizeFrame() {
    RECT frame{};
    RECT client{};
    GetWindowRect(frmMain, &frame);
    GetClientRect(frmMain, &client);
    const int width = MulDiv(kClient.cx, static_cast<int>(dpi), kDesignDpi);
    const int height = MulDiv(kClient.cy, static_cast<int>(dpi), kDesignDpi);
    SetWindowPos(frmMain, nullptr, 0, 0, frame.right - frame.left - client.right + width,
                 frame.bottom - frame.top - client.bottom + height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool FrmMain::TranslateKeys(MSG& message) {
    return IsDialogMessageW(frmMain, &message) != FALSE;
}

LRESULT CALLBACK FrmMain::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The object comes with WM_NCCREATE, the window's first message but one, and gets all after it.
    if (message == WM_NCCREATE) {
        auto* made =
            static_cast<FrmMain*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        made->frmMain = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(made));
    }
    auto* self = reinterpret_cast<FrmMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    // WM_GETMINMAXINFO comes before WM_NCCREATE.
    if (self == nullptr)
        return DefDlgProcW(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT FrmMain::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbar.IsCreatedMessage(message)) {
        taskbar.Created(frmMain);
        return 0;
    }
    switch (message) {
    case WM_COMMAND:
        // Only a click of an enabled button counts: a disabled one has no access key either.
        if (HIWORD(wParam) == BN_CLICKED) {
            if (LOWORD(wParam) == cmdBeginId && IsWindowEnabled(cmdBegin))
                logic.BeginLogging();
            else if (LOWORD(wParam) == cmdStopId && IsWindowEnabled(cmdStop))
                logic.StopLogging();
        }
        return 0;
    case WM_TIMER:
        if (wParam == tmrTimeoutId && timerOn)
            logic.CountTimeoutTick();
        return 0;
    case SerialControl::OnComm:
        logic.CapturePortInput();
        return 0;
    case SerialControl::Disconnected:
        if (commMain.IsGone())
            logic.PortDisconnected();
        return 0;
    case kCheckLogWriter:
        logic.CheckLogWriter();
        return 0;
    case WM_DPICHANGED: {
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(frmMain, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        layOut(LOWORD(wParam));
        return 0;
    }
    case WM_CLOSE:
        // The dialog manager would turn this into a Cancel command; the window just closes.
        logic.WindowClosing();
        DestroyWindow(frmMain);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefDlgProcW(frmMain, message, wParam, lParam);
    }
}

std::string FrmMain::PathText() const {
    return narrow(windowText(txtPath));
}

void FrmMain::SetEnabled(Switch part, bool enabled) {
    HWND control = nullptr;
    switch (part) {
    case Switch::tmrTimeout:
        timerOn = enabled;
        keepAwake(enabled);
        if (enabled)
            SetTimer(frmMain, tmrTimeoutId, LoggingControl::kTickInterval, nullptr);
        else
            KillTimer(frmMain, tmrTimeoutId);
        return;
    case Switch::cmdBegin:
        control = cmdBegin;
        break;
    case Switch::cmdStop:
        control = cmdStop;
        break;
    case Switch::txtPath:
        control = txtPath;
        break;
    }
    const HWND focus = GetFocus();
    EnableWindow(control, enabled);
    // Disabling the control with the focus leaves the focus nowhere: pass it on, as dialogs do.
    if (focus == control && !enabled)
        SendMessageW(frmMain, WM_NEXTDLGCTL, 0, FALSE);
    // Every control was disabled while the run's last records were written: Begin takes the
    // focus back.
    else if (enabled && control == cmdBegin && GetActiveWindow() == frmMain &&
             (focus == nullptr || !IsWindowEnabled(focus)))
        SendMessageW(frmMain, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(cmdBegin), TRUE);
}

void FrmMain::ShowCritical(const std::string& text, const std::string& title) {
    MessageBoxW(frmMain, widen(text).c_str(), widen(title).c_str(), MB_ICONERROR | MB_OK);
}

void FrmMain::ShowProgress(std::int16_t ticks) {
    taskbar.ShowProgress(frmMain, ticks, LoggingControl::kTickLimit);
}

void FrmMain::HideProgress() {
    taskbar.HideProgress(frmMain);
}

void FrmMain::AskAttention() {
    TaskbarButton::AskAttention(frmMain);
}

void FrmMain::PostLogWriterCheck() {
    PostMessageW(frmMain, kCheckLogWriter, 0, 0);
}

} // namespace tolvar
