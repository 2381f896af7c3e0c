// The main and About windows, driven headless through their controls.
#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <random>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <sys/stat.h>

#include "About.h"
#include "Controls.h"
#include "Jpeg.h"
#include "ScriptedUserInterface.h"
#include "QtUserInterface.h"
#include "UnZipper.h"
#include "Unit1.h"
#include "ZipWriter.h"

namespace fs = std::filesystem;
using launcher::TForm1;
using launcher::TForm2;

namespace {

std::string Bitmap(QColor colour) {
  QImage image(20, 10, QImage::Format_RGB32);
  image.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "BMP");
  return bytes.toStdString();
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

std::string Record(const std::string& title, const std::string& rom, const std::string& word,
                   const std::string& dest) {
  return title + "\r\n" + rom + "\r\n" + word + "\r\n" + dest + "\r\n\r\n";
}

// A stand-in program recording its argument vector (NUL-separated), written whole at once.
void WriteRecorder(const fs::path& where, const fs::path& record) {
  WriteFile(where, "#!/bin/sh\nprintf '%s\\0' \"$0\" \"$@\" > '" + record.string() +
                       ".part'\n/bin/mv '" + record.string() + ".part' '" + record.string() + "'\n");
  fs::permissions(where, fs::perms::owner_all);
}

// The recorded argument vector; waits for the detached program (the cap matters only when
// it never started).
std::optional<std::vector<std::string>> Recorded(const fs::path& record, int waits = 1000) {
  for (int i = 0; i < waits && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!fs::exists(record)) return std::nullopt;
  std::ifstream in(record, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::vector<std::string> argv;
  std::string cur;
  for (char c : ss.str()) {
    if (c == '\0') {
      argv.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  return argv;
}

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

  fs::path dir, oldCwd;
  std::string oldPath, oldPrefix;
  std::unique_ptr<ScriptedUserInterface> ui;
  std::unique_ptr<platform::ScopedUserInterface> scope;
  std::unique_ptr<TForm1> form;
  std::unique_ptr<TForm2> about;

  std::string ListFile() const { return (dir / "games" / "GAMES.ROM").string(); }
  fs::path Games() const { return dir / "games"; }

  // A window that has run its show handler with the dialog answered `answer`.
  void Start(std::optional<std::string> answer) {
    ui->OpenAnswers.push_back(answer);
    form->FormShow();
  }

private slots:
  void initTestCase() {
    pictures::RegisterJpeg();
    oldCwd = fs::current_path();
    oldPath = qgetenv("PATH").toStdString();
    oldPrefix = qgetenv("WINEPREFIX").toStdString();
  }

  // Every test: a games folder with a list of four games, screenshots, one archive,
  // a Wine prefix with a recording stand-in emulator, and a fresh window.
  void init() {
    // A folder of its own for every test: a detached program of an earlier test may still
    // be writing into its folder.
    static int serial = 0;
    dir = fs::temp_directory_path() / ("quorbin-form-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
    fs::remove_all(dir);
    fs::create_directories(Games() / "shots");
    WriteFile(Games() / "GAMES.ROM",
              Record("Galaxor", "roms\\galaxor.zip", "galaxor", "galaxor") +
                  Record("Nothing", "roms\\nothing.zip", "nothing", "nothing") +
                  Record("Pirates", "roms\\pirates.zip", "pirates", "pirates") +
                  Record("Broken", "roms\\broken.zip", "broken", "broken"));
    WriteFile(Games() / "roms" / "galaxor.zip", "PK\x05\x06" + std::string(18, '\0'));
    WriteFile(Games() / "shots" / "base1.bmp", Bitmap(Qt::white));
    WriteFile(Games() / "shots" / "base2.bmp", Bitmap(Qt::gray));
    WriteFile(Games() / "shots" / "galaxor1.bmp", Bitmap(Qt::red));
    WriteFile(Games() / "shots" / "galaxor2.bmp", Bitmap(Qt::green));
    WriteFile(Games() / "shots" / "pirates1.bmp", Bitmap(Qt::blue));
    WriteFile(Games() / "shots" / "pirates2.bmp", Bitmap(Qt::yellow));
    WriteFile(Games() / "shots" / "broken1.bmp", "not a bitmap at all");
    WriteFile(Games() / "shots" / "broken2.bmp", Bitmap(Qt::cyan));
    WriteRecorder(dir / "prefix" / "drive_c" / "varnix" / "varnix95.exe", dir / "emulator.args");
    WriteRecorder(dir / "bin" / "xdg-open", dir / "browser.args");
    qputenv("WINEPREFIX", QByteArray::fromStdString((dir / "prefix").string()));
    qputenv("PATH", QByteArray::fromStdString((dir / "bin").string() + ":" + oldPath));

    ui = std::make_unique<ScriptedUserInterface>();
    scope = std::make_unique<platform::ScopedUserInterface>(*ui);
    form = std::make_unique<TForm1>();
    launcher::Form1 = form.get();
    about = std::make_unique<TForm2>(form.get());
    launcher::Form2 = about.get();
  }

  void cleanup() {
    about.reset();
    form.reset();
    scope.reset();
    ui.reset();
    fs::current_path(oldCwd);
    qputenv("PATH", QByteArray::fromStdString(oldPath));
    if (oldPrefix.empty())
      qunsetenv("WINEPREFIX");
    else
      qputenv("WINEPREFIX", QByteArray::fromStdString(oldPrefix));
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  void layoutMatchesTheStoredForm() {
    QCOMPARE(form->windowTitle(), QString("Varnix support v0.1c"));
    QCOMPARE(form->size(), QSize(699, 513));
    QCOMPARE(form->minimumSize(), QSize(699, 513));
    QCOMPARE(form->maximumSize(), QSize(699, 513));
    QVERIFY(!(form->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(form->palette().color(QPalette::Window), QColor(Qt::black));

    const struct {
      QWidget* w;
      QRect r;
    } boxes[] = {
        {form->Image3, {0, 0, 699, 513}},    {form->Image1, {4, 4, 409, 237}},     {form->Image2, {288, 272, 409, 237}},
        {form->Bevel1, {420, 8, 273, 169}},  {form->Label1, {428, 48, 257, 17}},   {form->Label2, {656, 16, 29, 17}},
        {form->Label3, {428, 80, 257, 17}},  {form->ListBox1, {4, 244, 281, 265}}, {form->CheckBox1, {428, 16, 93, 17}},
        {form->Edit3, {428, 116, 145, 22}},  {form->Edit2, {428, 148, 145, 22}},   {form->BitBtn1, {584, 132, 97, 25}},
        {form->CheckBox2, {288, 248, 101, 17}},
    };
    for (const auto& b : boxes) QCOMPARE(b.w->geometry(), b.r);
    // Drawing order: the background at the bottom, pictures and labels beneath the controls.
    const QObjectList order = form->children();
    QVERIFY(order.indexOf(form->Image3) < order.indexOf(form->Image1));
    QVERIFY(order.indexOf(form->Label3) < order.indexOf(form->ListBox1));

    QCOMPARE(form->Image3->pixmap().size(), QSize(699, 513));
    QVERIFY(form->Image1->hasScaledContents());
    QVERIFY(form->Image2->hasScaledContents());
    QCOMPARE(form->Label1->text(), QString("ROM path:"));
    QCOMPARE(form->Label3->text(), QString("VARNIX command:"));
    QCOMPARE(form->Label2->text(), QString("nfo"));
    QCOMPARE(form->Label2->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(form->CheckBox1->text(), QString("Zip support"));
    QVERIFY(form->CheckBox1->isChecked());
    QCOMPARE(form->CheckBox2->text(), QString("present ROMS"));
    QVERIFY(!form->CheckBox2->isChecked());
    QCOMPARE(form->Edit3->text(), QString("c:\\varnix\\"));
    QCOMPARE(form->Edit2->text(), QString("c:\\varnix\\varnix95.exe"));
    QCOMPARE(form->BitBtn1->text(), QString("launch"));
    QCOMPARE(form->ListBox1->count(), 0);
    QCOMPARE(form->ListBox1->selectionMode(), QAbstractItemView::SingleSelection);
    QVERIFY(!form->ListBox1->isSortingEnabled());

    // Fonts: Arial, bold, 11-pixel (16 on the button); the link underlined.
    for (QWidget* w : {static_cast<QWidget*>(form->Label1), static_cast<QWidget*>(form->Label2),
                       static_cast<QWidget*>(form->ListBox1), static_cast<QWidget*>(form->CheckBox1),
                       static_cast<QWidget*>(form->Edit3), static_cast<QWidget*>(form->BitBtn1)}) {
      w->ensurePolished();
      QCOMPARE(w->font().family(), QString("Arial"));
      QVERIFY(w->font().bold());
      QCOMPARE(w->font().pixelSize(), w == form->BitBtn1 ? 16 : 11);
    }
    QVERIFY(form->Label2->font().underline());
    QCOMPARE(form->Label1->palette().color(QPalette::WindowText), QColor(Qt::white));
    QCOMPARE(form->Label2->palette().color(QPalette::WindowText), QColor(Qt::blue));

    // Tab order: list, Zip support, destination, emulator, launch, present ROMS.
    QList<QWidget*> chain;
    QWidget* w = form->ListBox1;
    do {
      if (w->focusPolicy() & Qt::TabFocus) chain << w;
      w = w->nextInFocusChain();
    } while (w != form->ListBox1 && chain.size() < 20);
    const QList<QWidget*> expected = {form->ListBox1, form->CheckBox1, form->Edit3,
                                      form->Edit2,    form->BitBtn1,   form->CheckBox2};
    QCOMPARE(chain, expected);

    QCOMPARE(form->Open.Filter, std::string("ROM list (*.ROM)|*.ROM"));
    QCOMPARE(form->Open.DefaultExt, std::string("ROM"));

    QCOMPARE(about->windowTitle(), QString("nfo"));
    QCOMPARE(about->size(), QSize(333, 166));
    QVERIFY(!about->isVisible());
    QCOMPARE(about->findChild<QFrame*>("Bevel1")->geometry(), QRect(4, 4, 325, 157));
    const launcher::TLabel* labels[] = {about->Label1, about->Label2, about->Label3, about->Label4,
                                        about->Label5, about->Label6, about->Label7};
    for (int i = 0; i < 7; ++i) {
      QCOMPARE(labels[i]->geometry(), QRect(12, 16 + 20 * i, 309, 16));
      QVERIFY(labels[i]->text().size() < 80);
      QVERIFY(labels[i]->alignment() & Qt::AlignHCenter);
    }
    QCOMPARE(about->Label1->text(), QString("Varnix support"));
    QCOMPARE(about->Label2->text(), QString("a front-end for arcade-board emulation"));
    QVERIFY(about->Label5->text().startsWith("https://"));
    QVERIFY(about->Label7->text().startsWith("https://"));
    QCOMPARE(about->Label7->cursor().shape(), Qt::PointingHandCursor);
  }

  void cancelledDialogLeavesAnEmptyListThatTheFilterOnlyClears() {
    Start(std::nullopt);
    QCOMPARE(ui->OpenCalls.size(), size_t(1));
    // The dialog starts in the executable's folder and offers the ROM lists.
    const std::string exeDir = QCoreApplication::applicationDirPath().toStdString() + "/";
    QCOMPARE(ui->OpenCalls[0].InitialDir, exeDir);
    QCOMPARE(ui->OpenCalls[0].Filter, std::string("ROM list (*.ROM)|*.ROM"));
    QCOMPARE(form->ListBox1->count(), 0);
    form->CheckBox2->click();
    QCOMPARE(form->ListBox1->count(), 0);
    form->CheckBox2->click();
    QCOMPARE(form->ListBox1->count(), 0);
    QVERIFY(ui->Errors.empty());
    // The pictures stay empty and visible: there is no shots folder here.
    QVERIFY(form->Image1->pixmap().isNull());
    QVERIFY(form->Image1->isVisibleTo(form.get()));
  }

  void chosenListIsLoadedWithTheDefaultPictures() {
    Start(ListFile());
    QCOMPARE(form->State().FileName, ListFile());
    QCOMPARE(form->ListBox1->count(), 4);
    QCOMPARE(form->ListBox1->item(3)->text(), QString("Broken"));
    QCOMPARE(form->ListBox1->item(0)->sizeHint().height(), 14);
    QCOMPARE(form->ListBox1->selectedItems().size(), 0);
    QCOMPARE(form->Image1->pixmap().toImage().pixelColor(1, 1), QColor(Qt::white));
    QCOMPARE(form->Image2->pixmap().toImage().pixelColor(1, 1), QColor(Qt::gray));
    QCOMPARE(form->Label1->text(), QString("ROM path:"));  // nothing selected yet
    QVERIFY(ui->Errors.empty());
  }

  void selectionShowsDetailsAndScreenshots() {
    Start(ListFile());
    form->Edit3->setText("typed by the user");
    form->ListBox1->setCurrentRow(0);
    QCOMPARE(form->Label1->text(), QString("ROM path: roms\\galaxor.zip"));
    QCOMPARE(form->Label3->text(), QString("VARNIX command: galaxor"));
    QCOMPARE(form->Edit3->text(), QString("c:\\varnix\\galaxor"));
    QCOMPARE(form->Image1->pixmap().toImage().pixelColor(1, 1), QColor(Qt::red));
    QCOMPARE(form->Image2->pixmap().toImage().pixelColor(1, 1), QColor(Qt::green));
    QVERIFY(form->Image1->isVisibleTo(form.get()));

    // No screenshots: both hidden, their old pictures kept.
    form->ListBox1->setCurrentRow(1);
    QCOMPARE(form->Label3->text(), QString("VARNIX command: nothing"));
    QVERIFY(!form->Image1->isVisibleTo(form.get()));
    QVERIFY(!form->Image2->isVisibleTo(form.get()));
    QCOMPARE(form->Image1->pixmap().toImage().pixelColor(1, 1), QColor(Qt::red));

    // Screenshots again: shown again.
    form->ListBox1->setCurrentRow(2);
    QVERIFY(form->Image1->isVisibleTo(form.get()));
    QVERIFY(form->Image2->isVisibleTo(form.get()));
    QCOMPARE(form->Image1->pixmap().toImage().pixelColor(1, 1), QColor(Qt::blue));
    QCOMPARE(form->State().Current.Command, std::string("pirates"));
    QVERIFY(ui->Errors.empty());
  }

  void corruptScreenshotShowsTheErrorAndLeavesTheSecondPictureAlone() {
    Start(ListFile());
    form->ListBox1->setCurrentRow(2);
    const qint64 second = form->Image2->pixmap().cacheKey();
    form->ListBox1->setCurrentRow(3);
    QCOMPARE(ui->Errors.size(), size_t(1));
    QVERIFY(QString::fromStdString(ui->Errors[0]).contains("broken1.bmp"));
    // The details were read before the pictures; the second picture was never touched.
    QCOMPARE(form->Label3->text(), QString("VARNIX command: broken"));
    QCOMPARE(form->Image2->pixmap().cacheKey(), second);
    QCOMPARE(form->Image2->pixmap().toImage().pixelColor(1, 1), QColor(Qt::yellow));
    // The window goes on working.
    form->ListBox1->setCurrentRow(0);
    QCOMPARE(form->Image2->pixmap().toImage().pixelColor(1, 1), QColor(Qt::green));
    QCOMPARE(ui->Errors.size(), size_t(1));
  }

  void filterShowsAbsentGamesAsEmptyRowsThatStillSelect() {
    Start(ListFile());
    fs::create_directories(Games() / "pirates");  // present by its command-word directory
    form->ListBox1->setCurrentRow(1);
    form->CheckBox2->click();
    QVERIFY(form->CheckBox2->isChecked());
    QCOMPARE(form->ListBox1->count(), 4);
    QStringList rows;
    for (int i = 0; i < 4; ++i) rows << form->ListBox1->item(i)->text();
    QCOMPARE(rows, (QStringList{"Galaxor", "", "Pirates", ""}));
    QCOMPARE(form->ListBox1->selectedItems().size(), 0);
    // The details still show the game selected before (emptying the list is no selection).
    QCOMPARE(form->Label3->text(), QString("VARNIX command: nothing"));
    QCOMPARE(form->State().Current.Command, std::string("nothing"));
    // The empty row of an absent game fetches that game.
    form->ListBox1->setCurrentRow(3);
    QCOMPARE(form->Label1->text(), QString("ROM path: roms\\broken.zip"));
    ui->Errors.clear();  // its first screenshot is the corrupt one
    form->ListBox1->setCurrentRow(1);
    QCOMPARE(form->Label1->text(), QString("ROM path: roms\\nothing.zip"));
    // Off again: every title.
    form->CheckBox2->click();
    QCOMPARE(form->ListBox1->count(), 4);
    QCOMPARE(form->ListBox1->item(1)->text(), QString("Nothing"));
    QVERIFY(ui->Errors.empty());
  }

  void launchStartsTheEmulatorWithTheCommandWord() {
    Start(ListFile());
    form->CheckBox1->setChecked(false);
    form->ListBox1->setCurrentRow(2);
    form->BitBtn1->click();
    const auto argv = Recorded(dir / "emulator.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->size(), size_t(2));
    QCOMPARE(argv->at(1), std::string("pirates"));
    QVERIFY(ui->Errors.empty());
  }

  void launchWithoutSelectionPassesNoParameter() {
    Start(std::nullopt);
    form->CheckBox1->setChecked(false);
    form->BitBtn1->click();
    const auto argv = Recorded(dir / "emulator.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->size(), size_t(1));
  }

  void commandWordWithShellSyntaxArrivesAsOneArgument() {
    const std::string word = "x; rm -rf x $(touch pwned) `id` 'single' \"double\" a  b | > out";
    WriteFile(Games() / "GAMES.ROM", Record("Evil", "roms\\evil.zip", word, "evil"));
    Start(ListFile());
    form->CheckBox1->setChecked(false);
    form->ListBox1->setCurrentRow(0);
    QCOMPARE(form->Label3->text(), QString::fromStdString("VARNIX command: " + word));
    form->BitBtn1->click();
    const auto argv = Recorded(dir / "emulator.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->size(), size_t(2));
    QCOMPARE(argv->at(1), word);
    QVERIFY(!fs::exists(Games() / "pwned"));
    QVERIFY(!fs::exists(Games() / "out"));
  }

  void missingProgramStartsNothingAndShowsNothing() {
    Start(ListFile());
    form->CheckBox1->setChecked(false);
    form->ListBox1->setCurrentRow(0);
    form->Edit2->setText("c:\\varnix\\missing.exe");
    form->BitBtn1->click();
    QVERIFY(ui->Errors.empty());
    QVERIFY(ui->Messages.empty());
    QVERIFY(!fs::exists(dir / "emulator.args"));
  }

  void realOpenDialogMakesTheChosenFolderCurrent() {
    launcher::QtUserInterface real;
    platform::ScopedUserInterface useReal(real);
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        dialog->selectFile(QString::fromStdString(ListFile()));
        static_cast<QDialog*>(dialog)->accept();
      }
    });
    answer.start(5);
    form->FormShow();
    answer.stop();
    QCOMPARE(form->State().FileName, ListFile());
    QCOMPARE(fs::canonical(fs::current_path()), fs::canonical(Games()));
    QCOMPARE(form->ListBox1->count(), 4);
  }

  void listNamedOnTheCommandLineOpensWithoutTheDialog() {
    fs::current_path(dir);
    form->ListFromCommandLine = "games/GAMES.ROM";
    form->FormShow();
    QVERIFY(ui->OpenCalls.empty());
    QCOMPARE(form->ListBox1->count(), 4);
    QCOMPARE(fs::canonical(fs::current_path()), fs::canonical(Games()));
    QCOMPARE(form->Image1->pixmap().toImage().pixelColor(1, 1), QColor(Qt::white));
    QVERIFY(ui->Errors.empty());
  }

  void hugeListsAndTitlesStayUsable() {
    std::string list = Record(std::string(3'000'000, 'T'), "a.zip", "a", "a");
    for (int i = 0; i < 20000; ++i) list += Record("Game " + std::to_string(i), "x.zip", "x", "x");
    WriteFile(Games() / "GAMES.ROM", list);
    Start(ListFile());
    QCOMPARE(form->ListBox1->count(), 20001);
    QVERIFY(form->ListBox1->item(0)->text().size() <= launcher::kShownCharacters + 1);
    form->ListBox1->setCurrentRow(20000);
    QCOMPARE(form->State().Current.Command, std::string("x"));
  }

  void selectedRowStaysSelectedAndKeysWorkAsOnWindows() {
    Start(ListFile());
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    // The focus mark the list puts on its first row when it gets the focus; Down selects it.
    form->ListBox1->setCurrentRow(0, QItemSelectionModel::NoUpdate);
    QTest::keyClick(form->ListBox1, Qt::Key_Down);
    QCOMPARE(form->State().Current.Command, std::string("galaxor"));
    QTest::keyClick(form->ListBox1, Qt::Key_Down);
    QCOMPARE(form->State().Current.Command, std::string("nothing"));
    // Ctrl+click or Ctrl+Space on the selected row, a click below the rows: still selected.
    const QRect second = form->ListBox1->visualItemRect(form->ListBox1->item(1));
    QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, Qt::ControlModifier, second.center());
    QTest::keyClick(form->ListBox1, Qt::Key_Space, Qt::ControlModifier);
    QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, {}, QPoint(5, 250));
    QCOMPARE(form->ListBox1->selectedItems().size(), 1);
    QCOMPARE(form->ListBox1->currentRow(), 1);
    QCOMPARE(form->State().Current.Command, std::string("nothing"));
    // Return on the focused launch button launches.
    form->CheckBox1->setChecked(false);
    QTest::keyClick(form->BitBtn1, Qt::Key_Return);
    const auto argv = Recorded(dir / "emulator.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->at(1), std::string("nothing"));
  }

  void checkBoxesShowABoxInBothStates() {
    for (QCheckBox* box : {form->CheckBox1, form->CheckBox2}) {
      for (bool checked : {false, true}) {
        box->setChecked(checked);
        const QImage image = box->grab().toImage();
        int white = 0, black = 0;  // inside the box, left of the caption
        for (int y = 0; y < image.height(); ++y)
          for (int x = 0; x < 13; ++x) {
            const QColor c = image.pixelColor(x, y);
            white += c == Qt::white;
            black += c == Qt::black && x > 2 && x < 11 && y > 4 && y < 13;
          }
        QVERIFY2(white > 50, qPrintable(box->text()));
        QCOMPARE(black > 10, checked);
      }
    }
  }

  void aboutWindowIsModalAndItsLinksOpenTheBrowser() {
    bool wasModal = false;
    bool stillOpen = false;
    // The About window runs its own loop: look at it and click from inside that loop.
    QTimer::singleShot(0, about.get(), [&] {
      wasModal = about->isVisible() && about->isModal();
      QTest::mouseClick(about->Label7, Qt::LeftButton);
      stillOpen = about->isVisible();
      about->close();
    });
    QTest::mouseClick(form->Label2, Qt::LeftButton);
    QVERIFY(wasModal);
    QVERIFY(stillOpen);
    QVERIFY(!about->isVisible());
    const auto argv = Recorded(dir / "browser.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->size(), size_t(2));
    QCOMPARE(QString::fromStdString(argv->at(1)), about->Label7->text());
  }

  // ---- Unpacking before launch ----------------------------------------------------------

private:
  fs::path Destination(const std::string& sub) const { return dir / "prefix" / "drive_c" / "varnix" / sub; }

  // galaxor.zip: a deflated file, a stored one in a folder, and 60000 random bytes (several
  // input refills, so the window gets its messages processed during the extraction).
  void MakeGalaxorArchive() {
    std::mt19937 random(42);
    std::string noise(60000, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    testzip::ZipWriter zip;
    zip.AddDeflated("gx-1.6e", std::string(5000, 'A') + "galaxor code", 9);
    zip.Add("sub/gx-2.6f", "graphics");
    zip.Add("gx-3.noise", noise);
    zip.WriteTo((Games() / "roms" / "galaxor.zip").string());
  }

  std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

private slots:
  void unpacksIntoTheDestinationThenStartsTheEmulator() {
    MakeGalaxorArchive();
    Start(ListFile());
    QVERIFY(form->CheckBox1->isChecked());
    form->ListBox1->setCurrentRow(0);
    // What the destination box holds at the launch is used, typed or not.
    form->Edit3->setText("c:\\varnix\\typed\\");
    QString captionDuring;
    ui->OnProcessMessages = [&] { captionDuring = form->BitBtn1->text(); };
    form->BitBtn1->click();
    QVERIFY2(ui->Errors.empty(), ui->Errors.empty() ? "" : ui->Errors[0].c_str());
    QCOMPARE(captionDuring, QString("WAIT !"));
    QCOMPARE(form->BitBtn1->text(), QString("Launch"));
    QCOMPARE(Slurp(Destination("typed") / "gx-1.6e"), std::string(5000, 'A') + "galaxor code");
    // Every file lands straight in the destination, whatever folder the archive names.
    QCOMPARE(Slurp(Destination("typed") / "gx-2.6f"), std::string("graphics"));
    QCOMPARE(fs::file_size(Destination("typed") / "gx-3.noise"), uintmax_t(60000));
    QVERIFY(!fs::exists(Destination("typed") / "sub"));
    const auto argv = Recorded(dir / "emulator.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->at(1), std::string("galaxor"));
    QVERIFY(ui->Messages.empty());
    QCOMPARE(ui->BusyDepth, 0);
    QCOMPARE(fs::canonical(fs::current_path()), fs::canonical(Games()));  // current directory restored
  }

  void secondLaunchAsksPerFileAndNoKeepsTheOldFiles() {
    MakeGalaxorArchive();
    Start(ListFile());
    form->ListBox1->setCurrentRow(0);
    form->BitBtn1->click();
    QVERIFY(Recorded(dir / "emulator.args").has_value());
    fs::remove(dir / "emulator.args");
    WriteFile(Destination("galaxor") / "gx-2.6f", "patched by the user");

    ui->MessageAnswers = {platform::TModalResult::No, platform::TModalResult::No, platform::TModalResult::No};
    form->BitBtn1->click();
    QCOMPARE(ui->Messages.size(), size_t(3));
    for (const std::string& m : ui->Messages) QVERIFY2(m.rfind("File Exists Alert: ", 0) == 0, m.c_str());
    QCOMPARE(ui->Unscripted, 0);
    QCOMPARE(Slurp(Destination("galaxor") / "gx-2.6f"), std::string("patched by the user"));
    QVERIFY(ui->Errors.empty());
    const auto argv = Recorded(dir / "emulator.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->at(1), std::string("galaxor"));
  }

  void emptyRomPathShowsTheComponentsErrorAndStartsNothing() {
    WriteFile(Games() / "GAMES.ROM", Record("No archive", "", "noarc", "noarc"));
    Start(ListFile());
    form->BitBtn1->click();  // nothing selected: empty ROM path
    QCOMPARE(ui->Errors.size(), size_t(1));
    QVERIFY(!ui->Errors[0].empty());
    form->ListBox1->setCurrentRow(0);  // selected, still empty
    form->BitBtn1->click();
    QCOMPARE(ui->Errors.size(), size_t(2));
    QVERIFY(!Recorded(dir / "emulator.args", 20).has_value());
    // The window stays usable and a launch without unpacking still works.
    form->CheckBox1->setChecked(false);
    form->BitBtn1->click();
    QVERIFY(Recorded(dir / "emulator.args").has_value());
  }

  void failedUnpackingEndsTheLaunchAndTheButtonWorksAgain() {
    // A missing archive: the directory cannot be read, nothing is started.
    Start(ListFile());
    form->ListBox1->setCurrentRow(1);
    form->BitBtn1->click();
    QCOMPARE(ui->Errors.size(), size_t(1));
    QVERIFY(!Recorded(dir / "emulator.args", 20).has_value());

    // An archive whose second entry's local header lies beyond the end of the file: the
    // extraction fails half-way. The first file stays, the button reads "Launch" again.
    testzip::ZipWriter zip;
    zip.Add("first.bin", "first");
    zip.Add("second.bin", "second").LocalHeaderOffset = 900000;
    zip.WriteTo((Games() / "roms" / "galaxor.zip").string());
    form->ListBox1->setCurrentRow(0);
    form->BitBtn1->click();
    QCOMPARE(ui->Errors.size(), size_t(2));
    QCOMPARE(form->BitBtn1->text(), QString("Launch"));
    QVERIFY(!form->Unpacking());
    QCOMPARE(Slurp(Destination("galaxor") / "first.bin"), std::string("first"));
    QVERIFY(!Recorded(dir / "emulator.args", 20).has_value());
    // Usable: the next launch without unpacking starts the emulator.
    form->CheckBox1->setChecked(false);
    form->BitBtn1->click();
    QVERIFY(Recorded(dir / "emulator.args").has_value());
  }

  void failedEntriesAreListedAndTheUserDecides() {
    testzip::ZipWriter zip;
    zip.Add("good.bin", "good");
    zip.Add("bad.bin", "bad").Crc = 0x12345678;
    zip.Add("secret.bin", "secret").Password = "pw";
    zip.WriteTo((Games() / "roms" / "galaxor.zip").string());
    Start(ListFile());
    form->ListBox1->setCurrentRow(0);
    ui->PasswordAnswers = {"pw", std::nullopt};
    ui->MessageAnswers = {platform::TModalResult::No, platform::TModalResult::Yes};
    form->BitBtn1->click();
    QCOMPARE(Slurp(Destination("galaxor") / "secret.bin"), std::string("secret"));
    QCOMPARE(ui->Messages.size(), size_t(1));
    QVERIFY2(ui->Messages[0].find("bad.bin: damaged (CRC error)") != std::string::npos, ui->Messages[0].c_str());
    QVERIFY(!Recorded(dir / "emulator.args", 20).has_value());

    // Elsewhere, the password prompt cancelled: the entry is listed, Yes starts the game.
    form->Edit3->setText("c:\\varnix\\again");
    form->Unzipper->Password.clear();
    form->BitBtn1->click();
    QCOMPARE(ui->PasswordPrompts.size(), size_t(2));
    QCOMPARE(ui->Messages.size(), size_t(2));
    QVERIFY2(ui->Messages[1].find("secret.bin: wrong or no password") != std::string::npos, ui->Messages[1].c_str());
    QVERIFY(Recorded(dir / "emulator.args").has_value());
    QVERIFY(ui->Errors.empty());
  }

  void noWineOrNoPrefixIsSaidBeforeAnythingIsUnpacked() {
    MakeGalaxorArchive();
    WriteFile(dir / "prefix" / "drive_c" / "varnix" / "game.exe", "MZ a Windows program");
    qputenv("PATH", QByteArray::fromStdString((dir / "bin").string()));  // no wine on it
    Start(ListFile());
    form->ListBox1->setCurrentRow(0);
    form->Edit2->setText("c:\\varnix\\game.exe");
    form->BitBtn1->click();
    QCOMPARE(ui->Errors, std::vector<std::string>{"Wine is needed to start c:\\varnix\\game.exe; install the wine package"});
    QVERIFY(!fs::exists(Destination("galaxor")));
    qputenv("WINEPREFIX", QByteArray::fromStdString((dir / "none").string()));
    form->BitBtn1->click();
    QCOMPARE(ui->Errors.size(), size_t(2));
    QVERIFY2(ui->Errors[1].find((dir / "none" / "drive_c").string()) != std::string::npos, ui->Errors[1].c_str());
  }

  void pipeAsRomPathIsRefusedAtOnce() {
    ::mkfifo((Games() / "roms" / "nothing.zip").c_str(), 0600);
    Start(ListFile());
    form->ListBox1->setCurrentRow(1);
    form->BitBtn1->click();
    QCOMPARE(ui->Errors.size(), size_t(1));
    QVERIFY(!Recorded(dir / "emulator.args", 20).has_value());
  }

  void zipSupportUncheckedTouchesNoArchive() {
    MakeGalaxorArchive();
    Start(ListFile());
    form->ListBox1->setCurrentRow(0);
    form->CheckBox1->setChecked(false);
    form->BitBtn1->click();
    QVERIFY(Recorded(dir / "emulator.args").has_value());
    QVERIFY(!fs::exists(Destination("galaxor")));
    QVERIFY(ui->Errors.empty());
    QVERIFY(ui->Messages.empty());
    QCOMPARE(form->BitBtn1->text(), QString("launch"));
  }

  void inputIsRefusedWhileUnpacking() {
    MakeGalaxorArchive();
    Start(ListFile());
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    form->ListBox1->setCurrentRow(0);
    int attempts = 0;
    ui->OnProcessMessages = [&] {
      if (attempts++) return;
      QVERIFY(form->Unpacking());
      // Mouse and keyboard on the list, the filter box and the launch button.
      const QRect third = form->ListBox1->visualItemRect(form->ListBox1->item(2));
      QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, {}, third.center());
      QTest::keyClick(form->ListBox1, Qt::Key_Down);
      QTest::mouseClick(form->CheckBox2, Qt::LeftButton);
      QTest::keyClick(form->CheckBox2, Qt::Key_Space);
      QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
      QTest::keyClick(form->BitBtn1, Qt::Key_Space);
      // Even a handler reached some other way does nothing now.
      form->BitBtn1Click();
      form->CheckBox2Click();
    };
    form->BitBtn1->click();
    QVERIFY(attempts > 0);
    QVERIFY(ui->Errors.empty());
    QCOMPARE(form->ListBox1->currentRow(), 0);
    QVERIFY(!form->CheckBox2->isChecked());
    QCOMPARE(form->State().Current.Command, std::string("galaxor"));
    QVERIFY(ui->Messages.empty());  // one extraction only: a second would have asked to overwrite
    const auto argv = Recorded(dir / "emulator.args");
    QVERIFY(argv.has_value());
    QCOMPARE(argv->at(1), std::string("galaxor"));
    // Afterwards the window takes input again.
    QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, {},
                      form->ListBox1->visualItemRect(form->ListBox1->item(2)).center());
    QCOMPARE(form->State().Current.Command, std::string("pirates"));
  }

  void fileExistsAlertIsARealYesNoBox() {
    MakeGalaxorArchive();
    Start(ListFile());
    form->ListBox1->setCurrentRow(0);
    form->BitBtn1->click();
    QVERIFY(Recorded(dir / "emulator.args").has_value());
    fs::remove(dir / "emulator.args");

    // The real services now: the question must come as a Yes/No message box.
    launcher::QtUserInterface real;
    platform::ScopedUserInterface useReal(real);
    QStringList seen;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      seen << box->windowTitle() + "|" + QString::number(int(box->standardButtons()));
      if (box->windowTitle() == "File Exists Alert" && box->button(QMessageBox::No))
        box->button(QMessageBox::No)->click();
      else
        box->reject();  // anything else is a failure, but must not hang the test
    });
    answer.start(5);
    form->BitBtn1->click();
    answer.stop();
    QCOMPARE(seen.size(), 3);
    const QString expected = "File Exists Alert|" + QString::number(int(QMessageBox::Yes | QMessageBox::No));
    for (const QString& s : seen) QCOMPARE(s, expected);
    QVERIFY(Recorded(dir / "emulator.args").has_value());
  }
};

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
