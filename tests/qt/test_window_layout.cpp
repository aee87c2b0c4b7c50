// The native window against the form description: every control where the
// description puts it, with its caption, font and initial state; the window
// itself fixed in size and shaped by the model.
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "faces/qt/native_style.h"
#include "faces/qt/qt_face.h"
#include "qt/harness/emulated_window.h"

namespace qks::qt {
namespace {

using test::EmulatedWindow;

QString Caption(const ControlDescription& d) { return QString::fromUtf8(d.caption ? d.caption : ""); }

QString NativeText(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    return {};
}

TEST(WindowLayout, EveryControlIsBuiltAsDescribed) {
    QtFace face;
    for (const ControlDescription& d : kFormDescription) {
        SCOPED_TRACE(d.name);
        QWidget* widget = face.Native(d.id);
        if (d.kind == ControlKind::FileDialog) {
            EXPECT_EQ(widget, nullptr);
            continue;
        }
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->objectName(), QString::fromLatin1(d.name));
        QWidget* parent = d.parent == ControlId::Count ? face.ClientArea() : face.Native(d.parent);
        EXPECT_EQ(widget->parentWidget(), parent);

        const QRect r = widget->geometry();
        EXPECT_EQ(r.x(), d.left);
        EXPECT_EQ(r.y(), d.top);
        EXPECT_EQ(r.height(), d.height);
        if (d.kind == ControlKind::Label) {
            // Labels may grow to their text, never shrink below the design.
            EXPECT_GE(r.width(), d.width);
            EXPECT_LE(r.width(), d.width + 8);
        } else {
            EXPECT_EQ(r.width(), d.width);
        }
        EXPECT_EQ(widget->isHidden(), !d.visible);
        EXPECT_EQ(widget->isEnabledTo(face.ClientArea()), d.enabled);

        if (d.kind == ControlKind::LabeledEdit) {
            ASSERT_NE(face.EditLabel(d.id), nullptr);
            EXPECT_EQ(face.EditLabel(d.id)->text(), Caption(d));
            EXPECT_EQ(NativeText(widget), QString());
            EXPECT_EQ(static_cast<QLineEdit*>(widget)->isReadOnly(), d.readOnly);
        } else if (d.kind != ControlKind::DropDownList) {
            EXPECT_EQ(face.EditLabel(d.id), nullptr);
            EXPECT_EQ(NativeText(widget), Caption(d));
        }
        if (d.kind == ControlKind::DropDownList) {
            auto* combo = static_cast<QComboBox*>(widget);
            ASSERT_EQ(combo->count(), static_cast<int>(d.items.size()));
            for (size_t i = 0; i < d.items.size(); ++i)
                EXPECT_EQ(combo->itemText(static_cast<int>(i)), QString::fromLatin1(d.items[i]));
            EXPECT_EQ(combo->currentIndex(), d.selected);
        }
        if (d.kind == ControlKind::ProgressBar) {
            auto* bar = static_cast<QProgressBar*>(widget);
            EXPECT_EQ(bar->minimum(), 0);
            EXPECT_EQ(bar->maximum(), 100);
        }
    }
}

// Captions keep their blanks: the screens centre their texts with them.
TEST(WindowLayout, CaptionsKeepLeadingAndTrailingBlanks) {
    QtFace face;
    EXPECT_EQ(static_cast<QLabel*>(face.Native(ControlId::replugLable1))->text(),
              QStringLiteral("Please un-plug AC adapter "));
    EXPECT_EQ(static_cast<QComboBox*>(face.Native(ControlId::FwSizeCheck))->itemText(5),
              QStringLiteral("   1MB"));
    EXPECT_EQ(static_cast<QCheckBox*>(face.Native(ControlId::EraseOnlyCheck))->text(),
              QStringLiteral("Erase All Flash Only "));
}

TEST(WindowLayout, FontsAreTheDescribedOnesOrTheirNearestInstalledFace) {
    QtFace face;
    for (const ControlDescription& d : kFormDescription) {
        QWidget* widget = face.Native(d.id);
        if (!widget) continue;
        SCOPED_TRACE(d.name);
        const FontSpec& font = d.font.face ? d.font : kWindowDescription.font;
        EXPECT_EQ(widget->font().pixelSize(), std::abs(font.height));
        const QString resolved = QFontInfo(widget->font()).family();
        EXPECT_TRUE(FamiliesFor(font.face).contains(resolved))
            << "resolved to " << resolved.toStdString();
    }
}

TEST(WindowLayout, LabelledEditsCarryTheirLabelToTheLeft) {
    QtFace face;
    for (const ControlDescription& d : kFormDescription) {
        if (d.kind != ControlKind::LabeledEdit) continue;
        SCOPED_TRACE(d.name);
        const QRect field = face.Native(d.id)->geometry();
        QLabel* label = face.EditLabel(d.id);
        const QRect text = label->geometry();
        EXPECT_EQ(label->parentWidget(), face.Native(d.id)->parentWidget());
        EXPECT_EQ(text.x() + text.width() + d.labelSpacing, field.x());
        EXPECT_GE(text.width(), label->fontMetrics().horizontalAdvance(label->text()));
        // Centred on the field's height, to within the odd pixel.
        EXPECT_LE(std::abs((text.top() + text.bottom()) - (field.top() + field.bottom())), 1);
        EXPECT_EQ(label->isHidden(), face.Native(d.id)->isHidden());
        if (d.buttonFaceBackground) {
            const QPalette p = face.Native(d.id)->palette();
            EXPECT_EQ(p.color(QPalette::Base), p.color(QPalette::Button));
        }
    }
}

TEST(WindowLayout, TheWindowIsAFixedDialogShapedByTheModel) {
    EmulatedWindow window({"q970"});
    QtFace& face = window.face;
    EXPECT_EQ(face.windowTitle(), QStringLiteral("Tavrel QKS970 Firmware Update Utility v0.1"));
    EXPECT_FALSE(face.windowIcon().isNull());
    const Qt::WindowFlags flags = face.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);

    // The constructor closed the engineering panel: question line and buttons.
    EXPECT_EQ(window.model->ClientHeight(), kWindowDescription.clientHeight - kRdPanelHeight);
    EXPECT_EQ(face.minimumSize(), face.maximumSize());
    EXPECT_EQ(face.size(), QSize(kWindowDescription.clientWidth, window.model->ClientHeight()));
    EXPECT_EQ(face.ClientArea()->size(), face.size());
}

TEST(WindowLayout, OpeningTheEngineeringPanelGrowsTheWindowByThePanel) {
    EmulatedWindow window({"q970"});
    QtFace& face = window.face;
    window.model->EnableEngineeringMode();
    auto* rd = static_cast<QCheckBox*>(face.Native(ControlId::RdCheckBox));
    ASSERT_TRUE(rd->isVisible());
    const int closed = face.height();
    QTest::mouseClick(rd, Qt::LeftButton, {}, QPoint(6, rd->height() / 2));
    EXPECT_TRUE(window.model->Control(ControlId::RdCheckBox).checked);
    EXPECT_TRUE(face.Native(ControlId::RdPanel)->isVisible());
    EXPECT_EQ(face.height(), closed + kRdPanelHeight);
    EXPECT_EQ(face.height(), window.model->ClientHeight());
    // The panel's children sit inside it, where the description puts them.
    EXPECT_EQ(face.Native(ControlId::BackupBtn)->mapTo(face.ClientArea(), QPoint(0, 0)),
              face.Native(ControlId::RdPanel)->pos() + QPoint(256, 61));
}

TEST(WindowLayout, CtrlShiftROpensTheEngineeringControls) {
    EmulatedWindow window({"q970"});
    window.face.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window.face));
    EXPECT_FALSE(window.model->EngineeringMode());
    QTest::keyClick(&window.face, Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(window.model->EngineeringMode());
    EXPECT_TRUE(window.face.Native(ControlId::RdCheckBox)->isVisible());
    EXPECT_TRUE(window.face.Native(ControlId::StatusEdit)->isVisible());
}

TEST(NativeStyle, ColoursAreBlueGreenRedAndSystemMarkersFollowThePalette) {
    QPalette palette;
    palette.setColor(QPalette::WindowText, QColor(1, 2, 3));
    palette.setColor(QPalette::Button, QColor(4, 5, 6));
    EXPECT_EQ(ColorFor(kRed, palette), QColor(255, 0, 0));
    EXPECT_EQ(ColorFor(kNavy, palette), QColor(0, 0, 128));
    EXPECT_EQ(ColorFor(0x00FF00, palette), QColor(0, 255, 0));
    EXPECT_EQ(ColorFor(kBlack, palette), QColor(0, 0, 0));
    EXPECT_EQ(ColorFor(kWindowText, palette), QColor(1, 2, 3));
    EXPECT_EQ(ColorFor(kButtonFace, palette), QColor(4, 5, 6));
}

TEST(NativeStyle, FileDialogFiltersBecomeQtFilters) {
    EXPECT_EQ(FileDialogFilter("BinaryFile|*.bin|All Files|*.*"),
              QStringLiteral("BinaryFile (*.bin);;All Files (*.*)"));
    EXPECT_EQ(FileDialogFilter("Images|*.bin;*.rom"), QStringLiteral("Images (*.bin *.rom)"));
    EXPECT_EQ(FileDialogFilter("Dangling"), QString());
    EXPECT_EQ(FileDialogFilter(""), QString());
}

}  // namespace
}  // namespace qks::qt
