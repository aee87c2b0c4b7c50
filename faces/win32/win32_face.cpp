#include "faces/win32/win32_face.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "emulator/platform.h"
#include "faces/win32/power_switches.h"
#include "platform/windows/device_notices.h"

namespace qks::win32 {

namespace {

constexpr const char* kWindowClass = "QksRecoveryWindow";
constexpr const char* kPanelClass = "QksRecoveryPanel";
// The form font where a control has none of its own.
constexpr const char* kFormFace = "MS Sans Serif";
// Room for the list a drop-down list opens; its closed height follows its font.
constexpr int kDropDownListHeight = 160;
// The program icon in the program's resources (faces/win32/qks970-recovery.rc).
constexpr int kIconResource = 1;
// Panels keep which control they are; the form itself has no control.
constexpr LONG_PTR kFormPanel = -1;

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;

HMENU MenuId(int id) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)); }

UINT IconFlags(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error: return MB_ICONERROR;
        case MessageIcon::Information: return MB_ICONINFORMATION;
        case MessageIcon::Warning: return MB_ICONWARNING;
        case MessageIcon::None: break;
    }
    return 0;
}

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    const int got = GetWindowTextA(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(got, 0)));
    return text;
}

void SetTextIfChanged(HWND window, const std::string& text) {
    // Only a real change: setting the same text makes labels flicker and
    // moves the cursor of somebody typing.
    if (WindowText(window) != text) SetWindowTextA(window, text.c_str());
}

bool SameItems(HWND combo, const std::vector<std::string>& items) {
    const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    if (count != static_cast<LRESULT>(items.size())) return false;
    for (size_t i = 0; i < items.size(); ++i) {
        const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, i, 0);
        if (length < 0) return false;
        std::string text(static_cast<size_t>(length) + 1, '\0');
        SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(length));
        if (text != items[i]) return false;
    }
    return true;
}

void RegisterClasses(HINSTANCE instance, WNDPROC windowProc, WNDPROC panelProc) {
    WNDCLASSEXA window{};
    if (!GetClassInfoExA(instance, kWindowClass, &window)) {
        window = WNDCLASSEXA{};
        window.cbSize = sizeof window;
        window.lpfnWndProc = windowProc;
        window.hInstance = instance;
        window.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconResource));
        if (!window.hIcon) window.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
        window.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(kIconResource),
                                                       IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                       GetSystemMetrics(SM_CYSMICON), 0));
        window.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        window.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        window.lpszClassName = kWindowClass;
        RegisterClassExA(&window);
    }
    WNDCLASSEXA panel{};
    if (!GetClassInfoExA(instance, kPanelClass, &panel)) {
        panel = WNDCLASSEXA{};
        panel.cbSize = sizeof panel;
        panel.lpfnWndProc = panelProc;
        panel.hInstance = instance;
        panel.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        panel.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        panel.lpszClassName = kPanelClass;
        RegisterClassExA(&panel);
    }
}

}  // namespace

std::string OpenFileNameFilter(const std::string& filter) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t bar = filter.find('|', start);
        parts.push_back(filter.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    std::string result;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        result += parts[i];
        result += '\0';
        result += parts[i + 1];
        result += '\0';
    }
    result += '\0';
    return result;
}

COLORREF ColorRefFor(uint32_t color) {
    if (color == kWindowText) return GetSysColor(COLOR_WINDOWTEXT);
    if ((color & 0xFF000000u) != 0) return GetSysColor(static_cast<int>(color & 0xFFu));
    return static_cast<COLORREF>(color & 0x00FFFFFFu);
}

Win32Face::Win32Face(HINSTANCE instance) : instance_(instance) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    RegisterClasses(instance_, &Win32Face::WindowProc, &Win32Face::PanelProc);

    clientHeight_ = kWindowDescription.clientHeight;
    RECT frame{0, 0, kWindowDescription.clientWidth, clientHeight_};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
    window_ = CreateWindowExA(kWindowExStyle, kWindowClass, kWindowDescription.caption, kWindowStyle,
                              kWindowDescription.left, kWindowDescription.top,
                              frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                              instance_, this);
    if (!window_) throw std::runtime_error("the window could not be created");

    form_ = CreateWindowExA(WS_EX_CONTROLPARENT, kPanelClass, "", WS_CHILD | WS_VISIBLE, 0, 0,
                            kWindowDescription.clientWidth, clientHeight_, window_, nullptr,
                            instance_, nullptr);
    SetWindowLongPtrA(form_, GWLP_USERDATA, kFormPanel);
    SendMessageA(window_, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(kWindowDescription.font)), FALSE);

    for (const ControlDescription& d : kFormDescription) Build(d.id);
    for (const ControlDescription& d : kFormDescription)
        if (Native(d.id)) Sync(d.id, InitialControlState(d));

    ACCEL engineering{FCONTROL | FSHIFT | FVIRTKEY, 'R', kEngineeringCommand};
    accelerators_ = CreateAcceleratorTableA(&engineering, 1);
    UpdateWindowSize();
}

Win32Face::~Win32Face() {
    if (window_) DestroyWindow(window_);
    if (accelerators_) DestroyAcceleratorTable(accelerators_);
    for (auto& [key, font] : fonts_) DeleteObject(font);
}

void Win32Face::Bind(TQ71xFwTool* model) {
    model_ = model;
    if (!model_) return;
    for (const ControlDescription& d : kFormDescription)
        if (Native(d.id)) Sync(d.id, model_->Control(d.id));
    ClientHeightChanged(model_->ClientHeight());
}

void Win32Face::AddPowerSwitches(emu::EmulatorPlatform& platform) {
    switches_ = std::make_unique<PowerSwitches>(window_, FontFor(kWindowDescription.font),
                                                clientHeight_, kWindowDescription.clientWidth,
                                                platform);
    UpdateWindowSize();
}

void Win32Face::RegisterForDeviceNotices() {
    // Not kept: the registrations end with the window.
    if (win::RegisterForDeviceNotices(window_).empty())
        DebugOutput("RegisterDeviceNotificationA failed: the window will not follow plugs");
}

void Win32Face::PostDeviceChange(uint32_t eventCode) {
    // WM_DEVICECHANGE itself cannot be posted: with an arrival or removal
    // code its LPARAM would point to a record, and the system refuses to post
    // such messages. This one carries the code alone.
    if (window_) PostMessageA(window_, kPostedDeviceChange, eventCode, 0);
}

void Win32Face::Show(int showCommand) {
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
}

int Win32Face::RunMessageLoop() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) Dispatch(message);
    return static_cast<int>(message.wParam);
}

void Win32Face::Dispatch(MSG& message) {
    if (window_) {
        if (accelerators_ && TranslateAcceleratorA(window_, accelerators_, &message)) return;
        // The dialog manager takes Enter for itself: it ends an edit first.
        if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
            bool isLabel = false;
            const auto edit = ControlOf(message.hwnd, &isLabel);
            if (edit && !isLabel && Describe(*edit).kind == ControlKind::LabeledEdit)
                Forward(*edit, [cid = *edit](TQ71xFwTool& m) { m.UserEndEdit(cid); });
        }
        if (IsDialogMessageA(window_, &message)) return;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

HFONT Win32Face::FontFor(const FontSpec& wanted) {
    const FontSpec& form = kWindowDescription.font;
    const std::string face = wanted.face ? wanted.face : (form.face ? form.face : kFormFace);
    const int height = wanted.height != 0 ? wanted.height : form.height;
    const auto key = std::make_pair(face, height);
    if (auto found = fonts_.find(key); found != fonts_.end()) return found->second;
    // The form's own font keeps the system's character set; the faces the
    // form names for single controls are asked for in ANSI.
    const DWORD charset = wanted.face ? ANSI_CHARSET : DEFAULT_CHARSET;
    HFONT font = CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, face.c_str());
    fonts_[key] = font;
    return font;
}

HWND Win32Face::ParentOf(const ControlDescription& d) const {
    return d.parent == ControlId::Count ? form_ : Native(d.parent);
}

void Win32Face::Build(ControlId id) {
    NativeControl& native = natives_[Index(id)];
    if (native.window) return;
    const ControlDescription& d = Describe(id);
    if (d.kind == ControlKind::FileDialog) return;
    if (d.parent != ControlId::Count) Build(d.parent);
    const HWND parent = ParentOf(d);
    const int controlId = kControlIdBase + static_cast<int>(Index(id));
    const char* caption = d.caption ? d.caption : "";
    DWORD style = WS_CHILD;
    DWORD exStyle = 0;
    const char* cls = "STATIC";
    int height = d.height;
    switch (d.kind) {
        case ControlKind::Label:
            // One line, cut at the edge rather than wrapped below it.
            style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX;
            break;
        case ControlKind::PushButton:
            cls = "BUTTON";
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case ControlKind::CheckBox:
            cls = "BUTTON";
            style |= BS_AUTOCHECKBOX | WS_TABSTOP;
            break;
        case ControlKind::DropDownList:
            cls = "COMBOBOX";
            style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
            height += kDropDownListHeight;
            caption = "";
            break;
        case ControlKind::LabeledEdit:
            cls = "EDIT";
            style |= ES_AUTOHSCROLL | WS_TABSTOP | (d.readOnly ? ES_READONLY : 0);
            exStyle |= WS_EX_CLIENTEDGE;
            caption = "";
            break;
        case ControlKind::ProgressBar:
            cls = PROGRESS_CLASSA;
            caption = "";
            break;
        case ControlKind::Panel:
            cls = kPanelClass;
            exStyle |= WS_EX_CONTROLPARENT;
            caption = "";
            break;
        case ControlKind::FileDialog:
            return;
    }
    native.window = CreateWindowExA(exStyle, cls, caption, style, d.left, d.top, d.width, height,
                                    parent, MenuId(controlId), instance_, nullptr);
    if (!native.window) throw std::runtime_error(std::string("control ") + d.name + " could not be created");
    SendMessageA(native.window, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(d.font)), FALSE);
    if (d.kind == ControlKind::Panel)
        SetWindowLongPtrA(native.window, GWLP_USERDATA, static_cast<LONG_PTR>(Index(id)));
    if (d.kind == ControlKind::ProgressBar) SendMessageA(native.window, PBM_SETRANGE32, 0, 100);
    if (d.kind == ControlKind::LabeledEdit) {
        native.label = CreateWindowExA(0, "STATIC", d.caption ? d.caption : "",
                                       WS_CHILD | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0, 0, 0,
                                       parent, MenuId(kEditLabelIdBase + static_cast<int>(Index(id))),
                                       instance_, nullptr);
        SendMessageA(native.label, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(d.font)), FALSE);
    }
}

void Win32Face::Sync(ControlId id, const ControlState& state) {
    NativeControl& native = natives_[Index(id)];
    const HWND window = native.window;
    if (!window) return;
    const ControlDescription& d = Describe(id);
    syncing_ = true;
    int height = state.height;
    switch (d.kind) {
        case ControlKind::Label:
        case ControlKind::PushButton:
        case ControlKind::LabeledEdit:
            SetTextIfChanged(window, state.text);
            break;
        case ControlKind::CheckBox:
            SetTextIfChanged(window, state.text);
            SendMessageA(window, BM_SETCHECK, state.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            break;
        case ControlKind::DropDownList: {
            if (!SameItems(window, state.items)) {
                SendMessageA(window, CB_RESETCONTENT, 0, 0);
                for (const std::string& item : state.items)
                    SendMessageA(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
            }
            const bool inRange = state.selected >= 0 && state.selected < static_cast<int>(state.items.size());
            SendMessageA(window, CB_SETCURSEL, inRange ? state.selected : -1, 0);
            height += kDropDownListHeight;
            break;
        }
        case ControlKind::ProgressBar:
            SendMessageA(window, PBM_SETPOS, state.position, 0);
            break;
        case ControlKind::Panel:
        case ControlKind::FileDialog:
            break;
    }
    int width = state.width;
    // The designed widths fit the texts as the designer's system drew them;
    // a system that draws the font a little wider (Wine does, by about 2 %)
    // would cut the last letter off. A label grows to its text, rightwards,
    // as an auto-sized label does.
    if (d.kind == ControlKind::Label) width = std::max(width, static_cast<int>(TextExtent(window, d, state.text).cx));
    SetWindowPos(window, nullptr, state.left, state.top, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    EnableWindow(window, state.enabled ? TRUE : FALSE);
    ShowWindow(window, state.visible ? SW_SHOWNA : SW_HIDE);
    // The colour is the parent's answer to WM_CTLCOLORSTATIC: ask again.
    if (d.kind == ControlKind::Label || d.kind == ControlKind::LabeledEdit)
        InvalidateRect(window, nullptr, TRUE);
    if (native.label) PlaceEditLabel(id, state);
    syncing_ = false;
}

SIZE Win32Face::TextExtent(HWND window, const ControlDescription& d, const std::string& text) {
    HDC dc = GetDC(window);
    const HGDIOBJ previous = SelectObject(dc, FontFor(d.font));
    SIZE size{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, previous);
    ReleaseDC(window, dc);
    return size;
}

// The label sits left of the field, `labelSpacing` pixels away, centred on
// the field's height, as wide as its text.
void Win32Face::PlaceEditLabel(ControlId id, const ControlState& state) {
    const ControlDescription& d = Describe(id);
    const HWND label = natives_[Index(id)].label;
    const SIZE size = TextExtent(label, d, d.caption ? d.caption : "");
    SetWindowPos(label, nullptr, state.left - d.labelSpacing - size.cx,
                 state.top + (state.height - size.cy) / 2, size.cx, size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    EnableWindow(label, state.enabled ? TRUE : FALSE);
    ShowWindow(label, state.visible ? SW_SHOWNA : SW_HIDE);
}

void Win32Face::UpdateWindowSize() {
    if (!window_) return;
    const int width = kWindowDescription.clientWidth;
    SetWindowPos(form_, nullptr, 0, 0, width, clientHeight_, SWP_NOZORDER | SWP_NOACTIVATE);
    int height = clientHeight_;
    if (switches_) {
        switches_->MoveTo(clientHeight_);
        height += switches_->Height();
    }
    RECT frame{0, 0, width, height};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Face::ControlChanged(ControlId id) {
    if (model_) Sync(id, model_->Control(id));
}

void Win32Face::ClientHeightChanged(int height) {
    clientHeight_ = height;
    UpdateWindowSize();
}

void Win32Face::RepaintNow(ControlId id) {
    const HWND window = Native(id);
    if (!window) return;
    if (id == ControlId::FwUpdatBar)
        barRepaints_.push_back(static_cast<int>(SendMessageA(window, PBM_GETPOS, 0, 0)));
    InvalidateRect(window, nullptr, TRUE);
    UpdateWindow(window);
}

void Win32Face::ProcessPendingEvents() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The main loop still has to see it.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        Dispatch(message);
    }
}

void Win32Face::ShowMessageBox(const std::string& text, const std::string& caption,
                               MessageIcon icon) {
    if (recordedBoxes_) {
        recordedBoxes_->emplace_back(caption, text);
        return;
    }
    // No owner, as the program always had; task-modal so the window cannot
    // be clicked behind it.
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_TASKMODAL | IconFlags(icon));
}

void Win32Face::DebugOutput(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    OutputDebugStringA((line + "\n").c_str());
    if (verbose_) std::fprintf(stderr, "%s\n", line.c_str());
}

std::optional<std::string> Win32Face::ChooseFile(const std::string& filter,
                                                 const std::string& initialFolder) {
    const std::string filters = OpenFileNameFilter(filter);
    std::string name(1024, '\0');
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = filters.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    dialog.lpstrInitialDir = initialFolder.empty() ? nullptr : initialFolder.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameA(&dialog)) return std::nullopt;
    name.resize(std::char_traits<char>::length(name.c_str()));
    if (name.empty()) return std::nullopt;
    return name;
}

bool Win32Face::ConfirmRisk(const std::string& text) {
    if (recordedBoxes_) {
        recordedBoxes_->emplace_back(kWindowDescription.applicationTitle, text);
        return false;
    }
    // Enter or Escape must never mean yes.
    return MessageBoxA(nullptr, text.c_str(), kWindowDescription.applicationTitle,
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2 | MB_TASKMODAL) == IDYES;
}

// One question per copy, newest first, since a plain message box has no list.
std::optional<size_t> Win32Face::ChooseOne(const std::string& question,
                                           const std::vector<std::string>& choices) {
    if (recordedBoxes_) {
        recordedBoxes_->emplace_back(kWindowDescription.applicationTitle, question);
        return std::nullopt;
    }
    for (size_t i = choices.size(); i-- > 0;) {
        const std::string text = question + "\n\nUse this one?\n" + choices[i];
        if (MessageBoxA(nullptr, text.c_str(), kWindowDescription.applicationTitle,
                        MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_TASKMODAL) == IDYES)
            return i;
    }
    return std::nullopt;
}

void Win32Face::CloseWindow() {
    if (window_) DestroyWindow(window_);
}

void Win32Face::Forward(ControlId id, const std::function<void(TQ71xFwTool&)>& event) {
    if (!model_) return;
    try {
        event(*model_);
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("");
    }
    if (model_ && window_ && id != ControlId::Count) Sync(id, model_->Control(id));
}

// An exception that escapes a handler is shown and the window goes on.
void Win32Face::ShowException(const char* what) {
    if (recordedBoxes_) {
        recordedBoxes_->emplace_back(kWindowDescription.applicationTitle, what);
        return;
    }
    MessageBoxA(nullptr, what, kWindowDescription.applicationTitle, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

std::optional<ControlId> Win32Face::ControlOf(HWND control, bool* isLabel) const {
    const int id = GetDlgCtrlID(control);
    const bool label = id >= kEditLabelIdBase && id < kEditLabelIdBase + static_cast<int>(kControlCount);
    if (isLabel) *isLabel = label;
    const int index = label ? id - kEditLabelIdBase : id - kControlIdBase;
    if (index < 0 || index >= static_cast<int>(kControlCount)) return std::nullopt;
    const auto found = static_cast<ControlId>(index);
    const NativeControl& native = natives_[Index(found)];
    if ((label ? native.label : native.window) != control) return std::nullopt;
    return found;
}

void Win32Face::Command(int id, int code, HWND from) {
    if (from == nullptr && id == kEngineeringCommand) {
        Forward(ControlId::Count, [](TQ71xFwTool& model) { model.EngineeringShortcut(); });
        return;
    }
    if (switches_ && code == BN_CLICKED && switches_->Command(id)) return;
    if (from == nullptr || syncing_) return;
    bool isLabel = false;
    const auto control = ControlOf(from, &isLabel);
    if (!control || isLabel) return;
    const ControlId cid = *control;
    switch (Describe(cid).kind) {
        case ControlKind::PushButton:
            if (code == BN_CLICKED) Forward(cid, [cid](TQ71xFwTool& m) { m.Click(cid); });
            break;
        case ControlKind::CheckBox:
            if (code == BN_CLICKED) {
                const bool checked = SendMessageA(from, BM_GETCHECK, 0, 0) == BST_CHECKED;
                Forward(cid, [cid, checked](TQ71xFwTool& m) { m.UserSetChecked(cid, checked); });
            }
            break;
        case ControlKind::DropDownList:
            if (code == CBN_SELCHANGE) {
                const int index = static_cast<int>(SendMessageA(from, CB_GETCURSEL, 0, 0));
                Forward(cid, [cid, index](TQ71xFwTool& m) { m.UserSelect(cid, index); });
            }
            break;
        case ControlKind::LabeledEdit:
            if (code == EN_CHANGE) {
                const std::string text = WindowText(from);
                Forward(cid, [cid, text](TQ71xFwTool& m) { m.UserSetText(cid, text); });
            } else if (code == EN_KILLFOCUS) {
                Forward(cid, [cid](TQ71xFwTool& m) { m.UserEndEdit(cid); });
            }
            break;
        default:
            break;
    }
}

LRESULT Win32Face::ControlColor(HDC dc, HWND control) {
    bool isLabel = false;
    const auto id = ControlOf(control, &isLabel);
    COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
    int background = COLOR_BTNFACE;
    if (id) {
        const ControlDescription& d = Describe(*id);
        const uint32_t color = model_ ? model_->Control(*id).color : d.color;
        if (d.kind == ControlKind::Label || d.kind == ControlKind::LabeledEdit) text = ColorRefFor(color);
        // A read-only field is drawn on the window colour unless the form
        // asks for the button face.
        if (d.kind == ControlKind::LabeledEdit && !isLabel && !d.buttonFaceBackground)
            background = COLOR_WINDOW;
        if (isLabel) text = GetSysColor(COLOR_WINDOWTEXT);
    }
    SetTextColor(dc, text);
    SetBkColor(dc, GetSysColor(background));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(background));
}

LRESULT CALLBACK Win32Face::WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(l);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* face = reinterpret_cast<Win32Face*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!face || face->window_ != window) return DefWindowProcA(window, message, w, l);
    return face->Handle(message, w, l);
}

// Panels pass what their children report on to the window, which owns
// every control.
LRESULT CALLBACK Win32Face::PanelProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
        case WM_NOTIFY:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORLISTBOX:
            return SendMessageA(GetAncestor(window, GA_ROOT), message, w, l);
        case WM_ERASEBKGND: {
            const LONG_PTR index = GetWindowLongPtrA(window, GWLP_USERDATA);
            RECT r;
            GetClientRect(window, &r);
            const uint32_t color = index >= 0 && index < static_cast<LONG_PTR>(kControlCount)
                                       ? kFormDescription[static_cast<size_t>(index)].color
                                       : kButtonFace;
            const bool systemColor = (color & 0xFF000000u) != 0;
            HBRUSH brush = systemColor ? GetSysColorBrush(COLOR_BTNFACE) : CreateSolidBrush(ColorRefFor(color));
            FillRect(reinterpret_cast<HDC>(w), &r, brush);
            if (!systemColor) DeleteObject(brush);
            // A panel in the system colours stands out by its raised edge.
            if (systemColor && index != kFormPanel)
                DrawEdge(reinterpret_cast<HDC>(w), &r, BDR_RAISEDINNER, BF_RECT);
            return 1;
        }
        default:
            return DefWindowProcA(window, message, w, l);
    }
}

LRESULT Win32Face::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_COMMAND:
            Command(LOWORD(w), HIWORD(w), reinterpret_cast<HWND>(l));
            return 0;
        case WM_CTLCOLORSTATIC:
            return ControlColor(reinterpret_cast<HDC>(w), reinterpret_cast<HWND>(l));
        case WM_DEVICECHANGE:
            // Every arrival or removal the window receives counts, also those
            // sent to all top-level windows; the system's of one plug (the
            // USB device, then its disk and CD-ROM) are one refresh, once
            // none has come for a moment.
            if (win::ChangesDeviceList(w)) {
                notices_.Add(static_cast<uint32_t>(w));
                SetTimer(window_, kNoticeTimer, kNoticeSettleMillis, nullptr);
            }
            return TRUE;
        case kPostedDeviceChange:
            // Another source (the emulator) posts one notice per plug already.
            Forward(ControlId::Count, [w](TQ71xFwTool& m) { m.DeviceChange(static_cast<uint32_t>(w)); });
            if (switches_ && window_) switches_->Update();
            return TRUE;
        case WM_TIMER:
            if (w != kNoticeTimer) return DefWindowProcA(window_, message, w, l);
            KillTimer(window_, kNoticeTimer);
            if (notices_.Pending()) {
                const uint32_t code = notices_.Take();
                Forward(ControlId::Count, [code](TQ71xFwTool& m) { m.DeviceChange(code); });
                if (switches_ && window_) switches_->Update();
            }
            return 0;
        case WM_CLOSE:
            // Like NO: during an operation the close waits until it has returned.
            if (model_)
                Forward(ControlId::Count, [](TQ71xFwTool& m) { m.ExitBtnClick(); });
            else
                DestroyWindow(window_);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY: {
            const HWND gone = window_;
            window_ = nullptr;
            form_ = nullptr;
            for (NativeControl& native : natives_) native = NativeControl{};
            SetWindowLongPtrA(gone, GWLP_USERDATA, 0);
            return DefWindowProcA(gone, message, w, l);
        }
        default:
            return DefWindowProcA(window_, message, w, l);
    }
}

}  // namespace qks::win32
