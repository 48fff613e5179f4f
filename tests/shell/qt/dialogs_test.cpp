// The dialogs as a user meets them: the templates' controls and geometry, the keys and
// buttons that end a dialog, the system menu and its About box, and the application's
// start-up. Runs on Qt's offscreen platform; the pay button's order cycles are tested
// against the sandbox in pay_button_test.cpp.
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <cmath>
#include <fstream>
#include <iterator>
#include <ostream>
#include <streambuf>

#include "client/quillmark_ops.h"
#include "shell/core/settings_form.h"
#include "shell/core/texts.h"
#include "shell/qt/about_dlg.h"
#include "shell/qt/dialog_units.h"
#include "shell/qt/quillmark_app.h"
#include "shell/qt/quillmark_dlg.h"
#include "shell/qt/settings_dlg.h"
#include "shell/qt/system_menu.h"
#include "window_watch.h"

using quillmark::CAboutDlg;
using quillmark::CQuillmarkDlg;
using quillmark::CSettingsDlg;
using quillmark::testing::ActiveModal;
using quillmark::testing::ActivePopupMenu;
using quillmark::testing::WindowWatch;

namespace {

// Discards what it is given: the dialogs here never run a cycle, but if a fault made one
// run, its lines should not clutter the test log.
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};
NullBuffer g_nullBuffer;
std::ostream g_nullStream(&g_nullBuffer);

// Operations that can reach nothing: no test here clicks Button1, and one that did by
// mistake must neither touch the network nor write a bitmap outside a temporary folder.
quillmark::CQuillmarkOps OfflineOps(const QTemporaryDir& dir) {
  quillmark::CQuillmarkOps::Settings settings = quillmark::CQuillmarkOps::Settings::Default();
  settings.apiBase = "https://127.0.0.1:9";
  settings.qrPath = dir.filePath(QStringLiteral("1.BMP")).toStdString();
  settings.transport.connectTimeoutMs = 1000;
  settings.transport.totalTimeoutMs = 2000;
  settings.out = &g_nullStream;
  return quillmark::CQuillmarkOps(settings);
}

// The dialog-unit conversion worked out independently of the shell's code: the average
// width and the rounding as floating-point arithmetic rather than integer steps.
struct Units {
  int cx;
  int cy;
};

Units UnitsOf(const QWidget& dialog) {
  const QFontMetrics metrics = dialog.fontMetrics();
  const int width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {static_cast<int>(std::lround(width / 52.0)), metrics.height()};
}

int Round(double value) { return static_cast<int>(std::lround(value)); }

QRect Expected(QRect du, Units u) {
  return {Round(du.x() * u.cx / 4.0), Round(du.y() * u.cy / 8.0), Round(du.width() * u.cx / 4.0),
          Round(du.height() * u.cy / 8.0)};
}

QSize Expected(QSize du, Units u) {
  return {Round(du.width() * u.cx / 4.0), Round(du.height() * u.cy / 8.0)};
}

QPushButton* Button(QWidget& dialog, const char* name) {
  return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    // Without a Song-style CJK font every caption below shows as empty boxes; say so
    // plainly rather than through a dozen glyph failures.
    const QStringList families = QFontDatabase::families();
    QVERIFY2(families.contains(QStringLiteral("SimSun")) ||
                 families.contains(QStringLiteral("AR PL UMing CN")),
             "neither SimSun nor AR PL UMing CN is installed (Debian: fonts-arphic-uming)");
  }

  void mulDivRoundsLikeWindows_data() {
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("c");
    QTest::addColumn<int>("expected");
    QTest::newRow("exact") << 320 << 6 << 4 << 480;
    QTest::newRow("half rounds up") << 7 << 6 << 4 << 11;
    QTest::newRow("above half rounds up") << 179 << 13 << 8 << 291;
    QTest::newRow("below half rounds down") << 10 << 13 << 8 << 16;
    QTest::newRow("a third rounds down") << 1 << 1 << 3 << 0;
    QTest::newRow("two thirds round up") << 2 << 1 << 3 << 1;
    QTest::newRow("negative half away from zero") << -7 << 6 << 4 << -11;
    QTest::newRow("negative divisor") << 7 << 6 << -4 << -11;
    QTest::newRow("product beyond 32 bits") << 1 << 0x40000000 << 2 << 0x20000000;
    QTest::newRow("product beyond 32 bits, scaled down")
        << 0x10000 << 0x10000 << 0x10000 << 0x10000;
    QTest::newRow("result beyond int") << 0x40000000 << 4 << 1 << -1;
    QTest::newRow("zero divisor") << 5 << 1 << 0 << -1;
  }

  void mulDivRoundsLikeWindows() {
    QFETCH(int, a);
    QFETCH(int, b);
    QFETCH(int, c);
    QFETCH(int, expected);
    QCOMPARE(quillmark::shell::MulDiv(a, b, c), expected);
  }

  void mainDialogIsTheTemplate() {
    CQuillmarkDlg dlg(OfflineOps(dir_));
    QCOMPARE(dlg.windowTitle(), QStringLiteral("Quillmark"));
    QCOMPARE(dlg.parentWidget(), nullptr);
    const Qt::WindowFlags flags = dlg.windowFlags();
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QCOMPARE(dlg.minimumSize(), dlg.maximumSize());

    struct Control {
      const char* name;
      const char* caption;
      int id;
    };
    const Control controls[] = {
        {"okButton", "确定", 1}, {"cancelButton", "取消", 2}, {"button1", "Button1", 1000}};
    for (const Control& control : controls) {
      const QPushButton* button = Button(dlg, control.name);
      QVERIFY2(button != nullptr, control.name);
      QCOMPARE(button->text(), QString::fromUtf8(control.caption));
      QCOMPARE(button->property("controlId").toInt(), control.id);
      QCOMPARE(button->isDefault(), control.id == 1);
    }
    // Until the first job the panel is hidden: the template's buttons and the till's, which
    // starts a job of its own, are all there is.
    QStringList visibleButtons;
    for (const QPushButton* button : dlg.findChildren<QPushButton*>()) {
      if (button->isVisibleTo(&dlg)) visibleButtons << button->objectName();
    }
    visibleButtons.sort();
    QCOMPARE(visibleButtons, QStringList({"button1", "cancelButton", "okButton", "tillButton"}));
  }

  void controlsFollowDialogUnits_data() {
    QTest::addColumn<bool>("about");
    QTest::addColumn<int>("pointSize");  // 0: the dialog's own font
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("du");
    for (int pointSize : {0, 20}) {
      const QByteArray font = pointSize == 0 ? "dialog font" : "20 pt";
      QTest::addRow("main OK, %s", font.data())
          << false << pointSize << "okButton" << QRect(263, 7, 50, 16);
      QTest::addRow("main Cancel, %s", font.data())
          << false << pointSize << "cancelButton" << QRect(263, 25, 50, 16);
      QTest::addRow("main Button1, %s", font.data())
          << false << pointSize << "button1" << QRect(7, 179, 50, 14);
      QTest::addRow("about icon, %s", font.data())
          << true << pointSize << "aboutIcon" << QRect(11, 17, 20, 20);
      QTest::addRow("about version, %s", font.data())
          << true << pointSize << "versionLabel" << QRect(40, 10, 119, 8);
      QTest::addRow("about copyright, %s", font.data())
          << true << pointSize << "copyrightLabel" << QRect(40, 25, 119, 8);
      QTest::addRow("about OK, %s", font.data())
          << true << pointSize << "okButton" << QRect(178, 7, 50, 16);
    }
  }

  void controlsFollowDialogUnits() {
    QFETCH(bool, about);
    QFETCH(int, pointSize);
    QFETCH(QString, name);
    QFETCH(QRect, du);
    CQuillmarkDlg main(OfflineOps(dir_));
    CAboutDlg aboutBox;
    QDialog& dialog = about ? static_cast<QDialog&>(aboutBox) : main;
    if (pointSize != 0) {
      QFont font = dialog.font();
      font.setPointSize(pointSize);
      dialog.setFont(font);
    }
    const Units units = UnitsOf(dialog);
    QVERIFY(units.cx > 0 && units.cy > 0);
    const QWidget* control = dialog.findChild<QWidget*>(name);
    QVERIFY(control != nullptr);
    QCOMPARE(control->geometry(), Expected(du, units));
    QCOMPARE(dialog.size(), Expected(about ? QSize(235, 55) : QSize(320, 200), units));
  }

  void settingsDialogDrawsTheSharedDescription() {
    // Every row the description gives, where it puts it, masked and browsable as it says;
    // the Win32 dialog makes the same controls from the same description.
    CSettingsDlg dialog(dir_.filePath(QStringLiteral("settings.ini")).toStdString(), {});
    const Units units = UnitsOf(dialog);
    const auto du = [](const quillmark::shell::layout::Rect& r) {
      return QRect(r.x, r.y, r.cx, r.cy);
    };
    QCOMPARE(dialog.size(),
             Expected(quillmark::shell::ToQSize(quillmark::shell::SettingsDialogSize()), units));
    const auto& rows = quillmark::shell::SettingRows();
    // A choice row is a drop-down list of its choices in the box's place; the rest are boxes.
    qsizetype choices = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].kind != quillmark::shell::SettingKind::kChoice) continue;
      ++choices;
      const auto* list = dialog.findChild<QComboBox*>(QString::fromLatin1(rows[i].key->fileKey));
      QVERIFY2(list != nullptr, rows[i].key->fileKey);
      QCOMPARE(list->geometry(), Expected(du(quillmark::shell::SettingRowRectsOf(i).edit), units));
      QCOMPARE(list->count(), static_cast<int>(rows[i].choices.size()));
      for (int k = 0; k < list->count(); ++k) {
        QCOMPARE(list->itemText(k).toStdString(), rows[i].choices[static_cast<std::size_t>(k)]);
      }
    }
    QCOMPARE(dialog.findChildren<QLineEdit*>().size(),
             static_cast<qsizetype>(rows.size()) - choices);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].kind == quillmark::shell::SettingKind::kChoice) continue;
      const QString name = QString::fromLatin1(rows[i].key->fileKey);
      const quillmark::shell::SettingRowRects rects = quillmark::shell::SettingRowRectsOf(i);
      const auto* edit = dialog.findChild<QLineEdit*>(name);
      QVERIFY2(edit != nullptr, qPrintable(name));
      QCOMPARE(edit->geometry(), Expected(du(rects.edit), units));
      QCOMPARE(edit->echoMode() == QLineEdit::Password,
               rows[i].kind == quillmark::shell::SettingKind::kSecret);
      const QPushButton* browse = dialog.findChild<QPushButton*>(name + QStringLiteral("Browse"));
      QCOMPARE(browse != nullptr, rows[i].browse());
      if (browse != nullptr) QCOMPARE(browse->geometry(), Expected(du(rects.browse), units));
      const auto* note = dialog.findChild<QLabel*>(name + QStringLiteral("Rule"));
      QVERIFY2(note != nullptr, qPrintable(name));
      QCOMPARE(note->geometry(), Expected(du(rects.note), units));
    }
    QCOMPARE(Button(dialog, "saveButton")->geometry(),
             Expected(du(quillmark::shell::SettingsSaveRect()), units));
    QCOMPARE(Button(dialog, "cancelButton")->geometry(),
             Expected(du(quillmark::shell::SettingsCancelRect()), units));
  }

  void captionsHaveGlyphs() {
    // A missing glyph draws as an empty box; the font the controls resolve to must be one
    // of the named Song-style families, and it must hold every character shown.
    const QStringList named = {QStringLiteral("SimSun"), QStringLiteral("宋体"),
                               QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UMing")};
    CQuillmarkDlg main(OfflineOps(dir_));
    CAboutDlg about;
    CSettingsDlg settings(dir_.filePath(QStringLiteral("settings.ini")).toStdString(), {});
    for (QDialog* dialog : {static_cast<QDialog*>(&main), static_cast<QDialog*>(&about),
                            static_cast<QDialog*>(&settings)}) {
      for (const QWidget* control : dialog->findChildren<QWidget*>()) {
        QString text;
        if (const auto* button = qobject_cast<const QPushButton*>(control)) text = button->text();
        if (const auto* label = qobject_cast<const QLabel*>(control)) text = label->text();
        if (text.isEmpty()) continue;
        QVERIFY2(named.contains(QFontInfo(control->font()).family()),
                 qPrintable(QFontInfo(control->font()).family()));
        const QFontMetrics metrics(control->font());
        for (const char32_t c : text.toUcs4()) {
          QVERIFY2(
              metrics.inFontUcs4(c),
              qPrintable(
                  QStringLiteral("U+%1 of \"%2\"").arg(static_cast<uint>(c), 4, 16).arg(text)));
        }
      }
    }
  }

  void settingsDialogChoosesTheProfileItEdits() {
    // The chooser is the description's: its place and entries. A profile's value that is
    // [merchant]'s is noted as inherited; a save writes the section shown and no other.
    const std::string file = dir_.filePath(QStringLiteral("profiles.ini")).toStdString();
    const std::string merchant = "; mine\n[merchant]\nmch_id = 1111111111\n";
    std::ofstream(file) << merchant << "[profile staging]\nmch_id = 2222222222\n";
    CSettingsDlg dialog(file, "staging", {});
    const Units units = UnitsOf(dialog);
    const auto* chooser = dialog.findChild<QComboBox*>(QStringLiteral("profile"));
    QVERIFY(chooser != nullptr);
    const quillmark::shell::layout::Rect r = quillmark::shell::SettingsProfileRect();
    QCOMPARE(chooser->geometry(), Expected(QRect(r.x, r.y, r.cx, r.cy), units));
    const std::vector<std::string> choices = quillmark::shell::ProfileChoices({"staging"});
    QCOMPARE(chooser->count(), 2);
    for (std::size_t i = 0; i < choices.size(); ++i) {
      QCOMPARE(chooser->itemText(static_cast<int>(i)).toStdString(), choices[i]);
    }
    QCOMPARE(chooser->currentIndex(), 1);
    auto* mchId = dialog.findChild<QLineEdit*>(QStringLiteral("mch_id"));
    const auto note = [&dialog](const char* key) {
      return dialog.findChild<QLabel*>(QString::fromLatin1(key) + QStringLiteral("Rule"))
          ->text()
          .toStdString();
    };
    QCOMPARE(mchId->text(), QStringLiteral("2222222222"));
    QCOMPARE(note("mch_id"), std::string());
    QCOMPARE(note("appid"), std::string(quillmark::shell::texts::kSettingInherited));

    QComboBox* combo = dialog.findChild<QComboBox*>(QStringLiteral("profile"));
    combo->setCurrentIndex(0);
    QCOMPARE(mchId->text(), QStringLiteral("1111111111"));
    QCOMPARE(note("appid"), std::string());
    QCOMPARE(dialog.Profile(), std::string());
    combo->setCurrentIndex(1);
    mchId->setText(QStringLiteral("3333333333"));
    std::string error;
    QVERIFY2(dialog.Save(error), error.c_str());
    QCOMPARE(dialog.Profile(), std::string("staging"));
    std::ifstream in(file);
    const std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    QCOMPARE(saved, merchant + "[profile staging]\nmch_id = 3333333333\n");
  }

  void tabOrderStartsAtTheDefaultButton() {
    CQuillmarkDlg dlg(OfflineOps(dir_));
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    // The rows that set up a job are there from the start, after Button1: the scenario and
    // the trade type, then the till's code, amount and button.
    const QStringList expected = {"okButton",        "cancelButton",    "button1",
                                  "scenarioChoice",  "tradeTypeChoice", "authCodeField",
                                  "tillAmountField", "tillButton",      "okButton"};
    for (const QString& name : expected) {
      QVERIFY(QApplication::focusWidget() != nullptr);
      QCOMPARE(QApplication::focusWidget()->objectName(), name);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
  }

  void buttonsAndKeysEndTheDialog_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");
    QTest::newRow("OK") << "okButton" << int{QDialog::Accepted};
    QTest::newRow("Cancel") << "cancelButton" << int{QDialog::Rejected};
    QTest::newRow("Enter") << "enter" << int{QDialog::Accepted};
    QTest::newRow("Esc") << "escape" << int{QDialog::Rejected};
    QTest::newRow("close box") << "close" << int{QDialog::Rejected};
  }

  void buttonsAndKeysEndTheDialog() {
    QFETCH(QString, how);
    QFETCH(int, result);
    CQuillmarkDlg dlg(OfflineOps(dir_));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy finished(&dlg, &QDialog::finished);
    if (how == "enter") {
      QTest::keyClick(&dlg, Qt::Key_Return);
    } else if (how == "escape") {
      QTest::keyClick(&dlg, Qt::Key_Escape);
    } else if (how == "close") {
      // What the window manager's close box does: close the window, not the widget.
      dlg.windowHandle()->close();
    } else {
      QTest::mouseClick(Button(dlg, how.toLatin1().constData()), Qt::LeftButton);
    }
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), result);
    QVERIFY(!dlg.isVisible());
  }

  void windowIconIsSetWhenShown() {
    CQuillmarkDlg dlg(OfflineOps(dir_));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QIcon icon = dlg.windowIcon();
    QVERIFY(!icon.isNull());
    for (int size : {16, 32, 48}) {
      QVERIFY2(icon.availableSizes().contains(QSize(size, size)),
               qPrintable(QString::number(size)));
      // The drawing itself, not a stand-in: the image equals the resource's.
      const QImage resource = QImage(QStringLiteral(":/quillmark/icon-%1.png").arg(size))
                                  .convertToFormat(QImage::Format_ARGB32_Premultiplied);
      QCOMPARE(
          icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
          resource);
    }
    QVERIFY(!dlg.windowHandle()->icon().isNull());
  }

  void systemMenuEndsWithAboutUnlessItsTextIsEmpty() {
    QMenu menu;
    quillmark::shell::FillSystemMenu(menu, QStringLiteral("关于 Quillmark(&A)..."));
    const QList<QAction*> entries = menu.actions();
    QVERIFY(entries.size() >= 3);
    QCOMPARE(quillmark::shell::CommandOf(entries.first()), 0xF060u);
    QVERIFY(entries.at(entries.size() - 2)->isSeparator());
    QCOMPARE(entries.last()->text(), QStringLiteral("关于 Quillmark(&A)..."));
    QCOMPARE(quillmark::shell::CommandOf(entries.last()), 0x10u);

    QMenu bare;
    quillmark::shell::FillSystemMenu(bare, QString());
    for (const QAction* entry : bare.actions()) {
      QVERIFY(!entry->isSeparator());
      QVERIFY(quillmark::shell::CommandOf(entry) != 0x10u);
    }
    QCOMPARE(bare.actions().size(), entries.size() - 2);
  }

  void popupMenuOpensTheAboutBox_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("right click") << "mouse";
    QTest::newRow("menu key") << "keyboard";
    QTest::newRow("Shift+F10") << "shift-f10";
  }

  void popupMenuOpensTheAboutBox() {
    QFETCH(QString, how);
    CQuillmarkDlg dlg(OfflineOps(dir_));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    QStringList entries;
    WindowWatch menuWatch(ActivePopupMenu, [&](QWidget* popup) {
      auto* menu = static_cast<QMenu*>(popup);
      for (const QAction* entry : menu->actions()) {
        entries << (entry->isSeparator() ? QStringLiteral("-") : entry->text());
      }
      QAction* about = menu->actions().last();
      if (quillmark::shell::CommandOf(about) != 0x10u) {
        menu->close();
        return;
      }
      menu->setActiveAction(about);
      QTest::keyClick(menu, Qt::Key_Return);
    });
    bool aboutModal = false;
    bool ownedByMain = false;
    WindowWatch aboutWatch(ActiveModal<CAboutDlg>, [&](QWidget* about) {
      aboutModal = about->isModal();
      ownedByMain = about->windowHandle()->transientParent() == dlg.windowHandle();
      QTest::mouseClick(Button(*about, "okButton"), Qt::LeftButton);
    });

    const QPoint inside(100, 100);
    if (how == "mouse") {
      // Through the window, as a real click arrives; Qt makes the context-menu event.
      QTest::mouseClick(dlg.windowHandle(), Qt::RightButton, {}, inside);
    } else if (how == "keyboard") {
      QContextMenuEvent event(QContextMenuEvent::Keyboard, inside, dlg.mapToGlobal(inside));
      QApplication::sendEvent(&dlg, &event);
    } else {
      QTest::keyClick(&dlg, Qt::Key_F10, Qt::ShiftModifier);
    }

    QVERIFY2(menuWatch.acted(), "no popup menu appeared");
    QCOMPARE(entries,
             (QStringList{entries.at(0), QStringLiteral("-"), QStringLiteral("设置(&O)..."),
                          QStringLiteral("-"), QStringLiteral("关于 Quillmark(&A)...")}));
    QVERIFY2(aboutWatch.acted(), "choosing the About entry showed no About box");
    QVERIFY(aboutModal);
    QVERIFY(ownedByMain);
    // Closing the About box leads back to the main dialog, still open.
    QVERIFY(dlg.isVisible());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
  }

  void popupMenuCloseEntryEndsTheDialog() {
    CQuillmarkDlg dlg(OfflineOps(dir_));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy finished(&dlg, &QDialog::finished);
    WindowWatch menuWatch(ActivePopupMenu, [](QWidget* popup) {
      auto* menu = static_cast<QMenu*>(popup);
      for (QAction* entry : menu->actions()) {
        if (quillmark::shell::CommandOf(entry) == 0xF060u) menu->setActiveAction(entry);
      }
      QTest::keyClick(menu, Qt::Key_Return);
    });
    QTest::mouseClick(dlg.windowHandle(), Qt::RightButton, {}, QPoint(100, 100));
    QVERIFY(menuWatch.acted());
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int{QDialog::Rejected});
  }

  void systemCommands_data() {
    QTest::addColumn<uint>("id");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("About 0x10") << 0x10u << "about";
    QTest::newRow("About 0x11") << 0x11u << "about";
    QTest::newRow("About 0x1F") << 0x1Fu << "about";
    QTest::newRow("SC_CLOSE") << 0xF060u << "closed";
    QTest::newRow("SC_CLOSE, low bits set") << 0xF062u << "closed";
    QTest::newRow("0x0F, below the About range") << 0x0Fu << "nothing";
    QTest::newRow("0x30, above the About and settings ranges") << 0x30u << "nothing";
    QTest::newRow("SC_MINIMIZE") << 0xF020u << "nothing";
  }

  void systemCommands() {
    QFETCH(uint, id);
    QFETCH(QString, outcome);
    CQuillmarkDlg dlg(OfflineOps(dir_));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy finished(&dlg, &QDialog::finished);
    QString title;
    WindowWatch aboutWatch(ActiveModal<CAboutDlg>, [&](QWidget* about) {
      title = about->windowTitle();
      static_cast<QDialog*>(about)->reject();
    });
    dlg.OnSystemCommand(id, 0);
    QCOMPARE(aboutWatch.acted(), outcome == "about");
    QVERIFY(!aboutWatch.gaveUp());
    QCOMPARE(finished.size(), outcome == "closed" ? 1 : 0);
    QCOMPARE(dlg.isVisible(), outcome != "closed");
    if (outcome == "about") QCOMPARE(title, QStringLiteral("关于 Quillmark"));
  }

  void aboutBoxIsTheTemplate() {
    CAboutDlg about;
    QCOMPARE(about.windowTitle(), QStringLiteral("关于 Quillmark"));
    QCOMPARE(about.parentWidget(), nullptr);
    QVERIFY(!about.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!about.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    QCOMPARE(about.findChild<QLabel*>("versionLabel")->text(), QStringLiteral("Quillmark 1.0 版"));
    QVERIFY(!about.findChild<QLabel*>("copyrightLabel")->text().isEmpty());
    const QLabel* icon = about.findChild<QLabel*>("aboutIcon");
    QVERIFY(!icon->pixmap().isNull());
    QVERIFY(icon->pixmap().width() <= icon->width());
    const QPushButton* ok = Button(about, "okButton");
    QCOMPARE(ok->text(), QStringLiteral("确定"));
    QCOMPARE(ok->property("controlId").toInt(), 1);
    QVERIFY(ok->isDefault());
  }

  void aboutBoxEnds_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("OK") << "ok";
    QTest::newRow("Enter") << "enter";
    QTest::newRow("Esc") << "escape";
  }

  void aboutBoxEnds() {
    QFETCH(QString, how);
    CAboutDlg about;
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QSignalSpy finished(&about, &QDialog::finished);
    if (how == "ok") QTest::mouseClick(Button(about, "okButton"), Qt::LeftButton);
    if (how == "enter") QTest::keyClick(&about, Qt::Key_Return);
    if (how == "escape") QTest::keyClick(&about, Qt::Key_Escape);
    QCOMPARE(finished.size(), 1);
    QVERIFY(!about.isVisible());
  }

  void startApplicationRunsTheMainDialogToItsEnd() {
    auto* app = static_cast<quillmark::CQuillmarkApp*>(QCoreApplication::instance());
    QPointer<QWidget> shown;
    bool isMainDialog = false;
    bool parentless = false;
    bool hasIcon = false;
    WindowWatch watch(ActiveModal<CQuillmarkDlg>, [&](QWidget* dialog) {
      shown = dialog;
      isMainDialog = app->mainDialog() == dialog;
      parentless = dialog->parentWidget() == nullptr;
      hasIcon = !dialog->windowIcon().isNull();
      QTest::keyClick(dialog, Qt::Key_Escape);
    });
    QCOMPARE(app->StartApplication(), false);
    QVERIFY2(watch.acted(), "StartApplication showed no modal main dialog");
    QVERIFY(isMainDialog);
    QVERIFY(parentless);
    QVERIFY(hasIcon);
    QVERIFY2(shown.isNull(), "the main dialog outlived StartApplication");
    QCOMPARE(app->mainDialog(), nullptr);
    QCOMPARE(QCoreApplication::organizationName(),
             QStringLiteral("应用程序向导生成的本地应用程序"));
  }
};

// The application object is the program's own, so that StartApplication can be tested.
int main(int argc, char** argv) {
  quillmark::CQuillmarkApp app(argc, argv);
  DialogsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dialogs_test.moc"
