#include "faces/qt/qt_face.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QInputDialog>
#include <QShortcut>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "faces/qt/native_style.h"
#include "faces/qt/program_icon.h"

namespace qks::qt {

namespace {
// Off unless asked for (-v, or QT_LOGGING_RULES="qks.debug=true"): this is
// what a debugger would have shown, not something for the user.
Q_LOGGING_CATEGORY(lcDebug, "qks.debug", QtInfoMsg)

QString Q(const std::string& text) { return QString::fromStdString(text); }
QString Q(const char* text) { return QString::fromUtf8(text ? text : ""); }

QMessageBox::Icon IconFor(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error: return QMessageBox::Critical;
        case MessageIcon::Information: return QMessageBox::Information;
        case MessageIcon::Warning: return QMessageBox::Warning;
        case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

void SetItems(QComboBox& combo, const std::vector<std::string>& items) {
    bool same = combo.count() == static_cast<int>(items.size());
    for (int i = 0; same && i < combo.count(); ++i)
        same = combo.itemText(i) == Q(items[static_cast<size_t>(i)]);
    if (same) return;
    combo.clear();
    for (const std::string& item : items) combo.addItem(Q(item));
}
}  // namespace

QtFace::QtFace(QWidget* parent) : QWidget(parent) {
    // A fixed dialog border: a title and a close box, no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(Q(kWindowDescription.caption));
    setWindowIcon(ProgramIcon());
    setFont(FontFor(kWindowDescription.font));
    // The form is painted in the button-face colour, whatever the style's
    // window colour is.
    QPalette face = palette();
    face.setColor(QPalette::Window, face.color(QPalette::Button));
    setPalette(face);
    setAutoFillBackground(true);

    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("client"));
    client_->move(0, 0);
    for (const ControlDescription& d : kFormDescription) Build(d.id);
    for (const ControlDescription& d : kFormDescription) {
        if (natives_[Index(d.id)].widget) Sync(d.id, InitialControlState(d));
        Connect(d.id);
    }
    clientHeight_ = kWindowDescription.clientHeight;
    UpdateFixedSize();
    move(kWindowDescription.left, kWindowDescription.top);

    // The way into the engineering panel; it has no control of its own.
    auto* engineering = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R), this);
    QObject::connect(engineering, &QShortcut::activated, this, [this] {
        Forward(ControlId::Count, [](TQ71xFwTool& model) { model.EngineeringShortcut(); });
    });
}

QtFace::~QtFace() = default;

void QtFace::Bind(TQ71xFwTool* model) {
    model_ = model;
    if (!model_) return;
    for (const ControlDescription& d : kFormDescription)
        if (natives_[Index(d.id)].widget) Sync(d.id, model_->Control(d.id));
    ClientHeightChanged(model_->ClientHeight());
}

QWidget* QtFace::Build(ControlId id) {
    NativeControl& native = natives_[Index(id)];
    if (native.widget) return native.widget;
    const ControlDescription& d = Describe(id);
    QWidget* parent = d.parent == ControlId::Count ? client_ : Build(d.parent);
    QWidget* widget = nullptr;
    switch (d.kind) {
        case ControlKind::Label: {
            auto* label = new QLabel(parent);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlKind::PushButton:
            widget = new QPushButton(parent);
            widget->setFocusPolicy(Qt::StrongFocus);
            break;
        case ControlKind::CheckBox:
            widget = new QCheckBox(parent);
            break;
        case ControlKind::DropDownList:
            widget = new QComboBox(parent);
            break;
        case ControlKind::LabeledEdit: {
            auto* edit = new QLineEdit(parent);
            edit->setReadOnly(d.readOnly);
            if (d.buttonFaceBackground) {
                QPalette p = edit->palette();
                p.setColor(QPalette::Base, p.color(QPalette::Button));
                edit->setPalette(p);
            }
            native.label = new QLabel(Q(d.caption), parent);
            native.label->setTextFormat(Qt::PlainText);
            native.label->setFont(FontFor(d.font));
            native.label->setObjectName(Q(d.name) + QStringLiteral("Label"));
            native.label->setBuddy(edit);
            widget = edit;
            break;
        }
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(parent);
            bar->setRange(0, 100);
            bar->setTextVisible(false);
            widget = bar;
            break;
        }
        case ControlKind::Panel: {
            auto* frame = new QFrame(parent);
            frame->setAutoFillBackground(true);
            if (IsSystemColor(d.color)) {
                frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
                frame->setLineWidth(1);
            } else {
                QPalette p = frame->palette();
                p.setColor(QPalette::Window, ColorFor(d.color, p));
                frame->setPalette(p);
            }
            widget = frame;
            break;
        }
        case ControlKind::FileDialog:
            return nullptr;
    }
    widget->setObjectName(Q(d.name));
    widget->setFont(FontFor(d.font));
    native.widget = widget;
    native.palette = widget->palette();
    return widget;
}

void QtFace::Connect(ControlId id) {
    QWidget* widget = natives_[Index(id)].widget;
    switch (Describe(id).kind) {
        case ControlKind::PushButton:
            QObject::connect(static_cast<QPushButton*>(widget), &QPushButton::clicked, this,
                             [this, id] { Forward(id, [id](TQ71xFwTool& m) { m.Click(id); }); });
            break;
        case ControlKind::CheckBox:
            QObject::connect(static_cast<QCheckBox*>(widget), &QCheckBox::clicked, this,
                             [this, id](bool checked) {
                                 Forward(id, [id, checked](TQ71xFwTool& m) {
                                     m.UserSetChecked(id, checked);
                                 });
                             });
            break;
        case ControlKind::DropDownList:
            QObject::connect(static_cast<QComboBox*>(widget), &QComboBox::activated, this,
                             [this, id](int index) {
                                 Forward(id, [id, index](TQ71xFwTool& m) { m.UserSelect(id, index); });
                             });
            break;
        case ControlKind::LabeledEdit:
            QObject::connect(static_cast<QLineEdit*>(widget), &QLineEdit::textEdited, this,
                             [this, id](const QString& text) {
                                 Forward(id, [id, text = text.toStdString()](TQ71xFwTool& m) {
                                     m.UserSetText(id, text);
                                 });
                             });
            // Enter, or the focus leaving the box, ends the edit.
            QObject::connect(static_cast<QLineEdit*>(widget), &QLineEdit::editingFinished, this,
                             [this, id] {
                                 Forward(id, [id](TQ71xFwTool& m) { m.UserEndEdit(id); });
                             });
            break;
        default:
            break;
    }
}

void QtFace::Sync(ControlId id, const ControlState& state) {
    NativeControl& native = natives_[Index(id)];
    QWidget* widget = native.widget;
    if (!widget) return;
    const QString text = Q(state.text);
    switch (Describe(id).kind) {
        case ControlKind::Label:
            static_cast<QLabel*>(widget)->setText(text);
            break;
        case ControlKind::PushButton:
            static_cast<QPushButton*>(widget)->setText(text);
            break;
        case ControlKind::CheckBox: {
            auto* box = static_cast<QCheckBox*>(widget);
            box->setText(text);
            box->setChecked(state.checked);
            break;
        }
        case ControlKind::DropDownList: {
            auto* combo = static_cast<QComboBox*>(widget);
            SetItems(*combo, state.items);
            combo->setCurrentIndex(state.selected < combo->count() ? state.selected : -1);
            break;
        }
        case ControlKind::LabeledEdit: {
            auto* edit = static_cast<QLineEdit*>(widget);
            // Only a real change: setText moves the cursor of the user typing.
            if (edit->text() != text) edit->setText(text);
            break;
        }
        case ControlKind::ProgressBar:
            static_cast<QProgressBar*>(widget)->setValue(state.position);
            break;
        case ControlKind::Panel:
        case ControlKind::FileDialog:
            break;
    }
    ApplyTextColor(id, state.color);
    int width = state.width;
    if (Describe(id).kind == ControlKind::Label) {
        // The designed widths are those of labels sized to their text by the
        // platform they were laid out on; this platform's glyphs may run a
        // few pixels wider, and a label grows rather than cut its last letter.
        width = std::max(width, QFontMetrics(widget->font()).horizontalAdvance(text));
    }
    widget->setGeometry(state.left, state.top, width, state.height);
    widget->setEnabled(state.enabled);
    widget->setVisible(state.visible);
    if (native.label) PlaceEditLabel(id, state);
}

// The label sits left of the field, `labelSpacing` pixels away, centred on
// the field's height, as wide as its text.
void QtFace::PlaceEditLabel(ControlId id, const ControlState& state) {
    const ControlDescription& d = Describe(id);
    QLabel* label = natives_[Index(id)].label;
    const QFontMetrics metrics(label->font());
    const int width = metrics.horizontalAdvance(label->text());
    const int height = metrics.height();
    label->setGeometry(state.left - d.labelSpacing - width,
                       state.top + (state.height - height) / 2, width, height);
    label->setEnabled(state.enabled);
    label->setVisible(state.visible);
}

void QtFace::ApplyTextColor(ControlId id, uint32_t color) {
    const ControlKind kind = Describe(id).kind;
    if (kind != ControlKind::Label && kind != ControlKind::LabeledEdit) return;
    NativeControl& native = natives_[Index(id)];
    QPalette p = native.palette;
    if (color != kWindowText) {
        const QPalette::ColorRole role =
            kind == ControlKind::Label ? QPalette::WindowText : QPalette::Text;
        const QColor c = ColorFor(color, p);
        p.setColor(QPalette::Active, role, c);
        p.setColor(QPalette::Inactive, role, c);
    }
    native.widget->setPalette(p);
}

void QtFace::SetStrip(QWidget* strip) {
    delete strip_;
    strip_ = strip;
    if (strip_) {
        strip_->setParent(this);
        strip_->show();
    }
    UpdateFixedSize();
}

void QtFace::UpdateFixedSize() {
    const int width = kWindowDescription.clientWidth;
    client_->setFixedSize(width, clientHeight_);
    int height = clientHeight_;
    if (strip_) {
        const int stripHeight = strip_->sizeHint().height();
        strip_->setGeometry(0, clientHeight_, width, stripHeight);
        height += stripHeight;
    }
    setFixedSize(width, height);
}

void QtFace::ControlChanged(ControlId id) {
    if (model_) Sync(id, model_->Control(id));
}

void QtFace::ClientHeightChanged(int height) {
    clientHeight_ = height;
    UpdateFixedSize();
}

void QtFace::RepaintNow(ControlId id) {
    if (QWidget* widget = Native(id)) widget->repaint();
}

void QtFace::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void QtFace::ShowMessageBox(const std::string& text, const std::string& caption,
                            MessageIcon icon) {
    QMessageBox box(IconFor(icon), Q(caption), Q(text), QMessageBox::Ok);
    box.exec();
}

void QtFace::DebugOutput(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (verbose_) {
        std::fprintf(stderr, "%s\n", line.c_str());
        return;
    }
    qCDebug(lcDebug).noquote() << Q(line);
}

std::optional<std::string> QtFace::ChooseFile(const std::string& filter,
                                              const std::string& initialFolder) {
    const QString chosen =
        QFileDialog::getOpenFileName(nullptr, QString(), Q(initialFolder), FileDialogFilter(filter));
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.toStdString();
}

bool QtFace::ConfirmRisk(const std::string& text) {
    QMessageBox box(QMessageBox::Warning, Q(kWindowDescription.applicationTitle), Q(text),
                    QMessageBox::Yes | QMessageBox::No);
    // Enter or Escape must never mean yes.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<size_t> QtFace::ChooseOne(const std::string& question,
                                        const std::vector<std::string>& choices) {
    QStringList items;
    for (const auto& choice : choices) items << Q(choice);
    bool ok = false;
    const QString picked = QInputDialog::getItem(nullptr, Q(kWindowDescription.applicationTitle),
                                                 Q(question), items, 0, false, &ok);
    if (!ok) return std::nullopt;
    const auto index = items.indexOf(picked);
    return index < 0 ? std::nullopt : std::optional<size_t>(static_cast<size_t>(index));
}

void QtFace::CloseWindow() { close(); }

// The title bar's close box during an operation asks, like NO, for a close
// once the operation has returned: the model then calls CloseWindow.
void QtFace::closeEvent(QCloseEvent* event) {
    if (model_ && model_->Busy()) {
        event->ignore();
        Forward(ControlId::Count, [](TQ71xFwTool& model) { model.ExitBtnClick(); });
        return;
    }
    event->accept();
}

void QtFace::Forward(ControlId id, const std::function<void(TQ71xFwTool&)>& event) {
    if (!model_) return;
    try {
        event(*model_);
    } catch (const std::exception& e) {
        ShowException(e.what());
    } catch (...) {
        ShowException("");
    }
    if (model_ && id != ControlId::Count) Sync(id, model_->Control(id));
}

// An exception that escapes a handler is shown and the window goes on.
void QtFace::ShowException(const char* what) {
    QMessageBox box(QMessageBox::Critical, Q(kWindowDescription.applicationTitle), Q(what),
                    QMessageBox::Ok);
    box.exec();
}

}  // namespace qks::qt
