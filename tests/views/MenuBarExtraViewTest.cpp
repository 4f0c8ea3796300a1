#include "TrayFixture.h"

#include "support/EventLoop.h"
#include "views/MenuBarExtraView.h"

#include <QAction>
#include <QMenu>
#include <QWidgetAction>

using Kind = MenuBarMenuItem::Kind;

namespace {

enum class State { stopped, listening, paused };

struct MenuCase {
    const char* name;
    State state;
    std::vector<std::pair<const char*, const char*>> items; ///< title and symbol; "-" is the divider
};

const MenuCase kMenuCases[] = {
    {"Stopped",
     State::stopped,
     {{"Stopped", "moon.zzz"},
      {"Start listening", "play.circle"},
      {"-", ""},
      {"Open Bonkly window", "macwindow"},
      {"Quit Bonkly", "power"}}},
    {"Listening",
     State::listening,
     {{"Listening \u2014 slap away", "dot.radiowaves.left.and.right"},
      {"Stop listening", "stop.circle"},
      {"Pause", "pause.fill"},
      {"-", ""},
      {"Open Bonkly window", "macwindow"},
      {"Quit Bonkly", "power"}}},
    {"Paused",
     State::paused,
     {{"Paused", "pause.circle"},
      {"Stop listening", "stop.circle"},
      {"Resume", "play.fill"},
      {"-", ""},
      {"Open Bonkly window", "macwindow"},
      {"Quit Bonkly", "power"}}},
};

class MenuBarExtraViewTest : public traytest::ViewModelFixture {
protected:
    std::vector<QString> opened;
    int terminations = 0;
    std::unique_ptr<MenuBarExtraView> view;

    void SetUp() override
    {
        ViewModelFixture::SetUp();
        view = std::make_unique<MenuBarExtraView>(
            *vm, [this](const QString& id) { opened.push_back(id); }, [this] { ++terminations; });
    }
    void TearDown() override
    {
        view.reset();
        ViewModelFixture::TearDown();
    }

    void enter(State state)
    {
        if (state != State::stopped) {
            startListening();
        }
        if (state == State::paused) {
            vm->togglePause();
        }
        drain();
    }

    void choose(Kind kind)
    {
        QAction* action = view->action(kind);
        ASSERT_NE(action, nullptr);
        action->trigger();
        drain();
    }
};

class MenuStates : public MenuBarExtraViewTest, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(MenuStates, ShowTheStateTableExactlyWithNothingDisabledAndNoShortcuts)
{
    enter(GetParam().state);
    const auto& expected = GetParam().items;
    const auto& items = view->items();
    ASSERT_EQ(items.size(), expected.size());
    const QList<QAction*> actions = view->menu()->actions();
    ASSERT_EQ(actions.size(), qsizetype(expected.size()));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool divider = std::string(expected[i].first) == "-";
        EXPECT_EQ(items[i].kind == Kind::divider, divider) << i;
        EXPECT_EQ(actions[qsizetype(i)]->isSeparator(), divider) << i;
        if (!divider) {
            EXPECT_EQ(items[i].title, QString::fromUtf8(expected[i].first)) << i;
            EXPECT_EQ(items[i].symbol, QString::fromUtf8(expected[i].second)) << i;
            EXPECT_EQ(actions[qsizetype(i)]->text(), QString::fromUtf8(expected[i].first)) << i;
        }
        EXPECT_TRUE(actions[qsizetype(i)]->isEnabled()) << i;
        EXPECT_TRUE(actions[qsizetype(i)]->shortcut().isEmpty()) << i;
        EXPECT_EQ(items[i].destructive, items[i].kind == Kind::quit) << i;
    }
    EXPECT_EQ(view->action(Kind::pauseResume) != nullptr, GetParam().state != State::stopped);
}

INSTANTIATE_TEST_SUITE_P(Views, MenuStates, ::testing::ValuesIn(kMenuCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A D-Bus host draws the menu from its exported description, which has no inert row: there the
// status row goes out disabled, in every state, and only there.
TEST_F(MenuBarExtraViewTest, AnExportedMenuHasItsStatusRowDisabledAndNothingElse)
{
    for (bool exported : {true, false}) {
        view->setExported(exported);
        for (State state : {State::stopped, State::listening, State::paused}) {
            vm->stop();
            enter(state);
            const QList<QAction*> actions = view->menu()->actions();
            ASSERT_FALSE(actions.isEmpty());
            for (const QAction* action : actions) {
                const bool status = action == view->action(Kind::status);
                EXPECT_EQ(action->isEnabled(), !(exported && status))
                    << (exported ? "exported, " : "drawn, ") << action->text().toStdString();
            }
            EXPECT_EQ(view->action(Kind::status)->text(), view->items().front().title);
            EXPECT_FALSE(view->action(Kind::status)->icon().isNull()) << "the exported row shows its symbol";
        }
    }
}

TEST(MenuBarMenuItems, ReadThePauseFlagOnlyWhileRunning)
{
    const auto items = menuBarMenuItems(false, true);
    EXPECT_EQ(items.front().title, QStringLiteral("Stopped"));
    EXPECT_EQ(items.size(), 5u);
}

struct ActionCase {
    const char* name;
    State from;
    Kind choose;
    bool running;
    bool paused;
};

const ActionCase kActionCases[] = {
    {"StartWhileStopped", State::stopped, Kind::startStop, true, false},
    {"StopWhileListening", State::listening, Kind::startStop, false, false},
    {"StopWhilePaused", State::paused, Kind::startStop, false, false},
    {"Pause", State::listening, Kind::pauseResume, true, true},
    {"Resume", State::paused, Kind::pauseResume, true, false},
    {"StatusRowDoesNothing", State::listening, Kind::status, true, false},
};

class MenuActions : public MenuBarExtraViewTest, public ::testing::WithParamInterface<ActionCase> {};

TEST_P(MenuActions, DriveTheViewModel)
{
    enter(GetParam().from);
    choose(GetParam().choose);
    EXPECT_EQ(vm->isRunning(), GetParam().running);
    EXPECT_EQ(vm->isPaused(), GetParam().paused);
    // The menu follows at once: the next time it opens it shows the new state.
    EXPECT_EQ(view->items().front().title, QString::fromUtf8(!GetParam().running ? "Stopped"
                                                             : GetParam().paused ? "Paused"
                                                                                 : "Listening \u2014 slap away"));
    EXPECT_EQ(view->action(Kind::pauseResume) != nullptr, GetParam().running);
    EXPECT_TRUE(opened.empty());
    EXPECT_EQ(terminations, 0);
}

INSTANTIATE_TEST_SUITE_P(Views, MenuActions, ::testing::ValuesIn(kActionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuBarExtraViewTest, ARefusedStartLeavesTheMenuStopped)
{
    vm->setSelectedMode(SoundPackType::sexy); // no clips in the fixture bundle
    choose(Kind::startStop);
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(view->items().front().title, QStringLiteral("Stopped"));
    EXPECT_TRUE(vm->errorMessage().has_value());
}

TEST_F(MenuBarExtraViewTest, QuitCallsTheApplicationsTerminationAndNothingElse)
{
    startListening();
    choose(Kind::quit);
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(vm->isRunning()); // stopping is the will-terminate observer's business
}

TEST_F(MenuBarExtraViewTest, QuitWhileListeningEndsTheEventLoopAndTheWillTerminatePathStopsTheSensor)
{
    MenuBarExtraView real(*vm, [](const QString&) {});
    startListening();
    const auto connection = QObject::connect(qApp, &QCoreApplication::aboutToQuit,
                                             [this] { services->center.post(foundation::kApplicationWillTerminate); });
    QMetaObject::invokeMethod(
        qApp, [&real] { real.action(Kind::quit)->trigger(); }, Qt::QueuedConnection);
    EXPECT_EQ(QApplication::exec(), 0);
    QObject::disconnect(connection);
    EXPECT_FALSE(vm->isRunning());
    EXPECT_EQ(vm->statusMessage(), "Stopped");
    ASSERT_NE(sensor->lastDevice(), nullptr);
    EXPECT_EQ(sensor->lastDevice()->closes, 1);
}

struct WindowCase {
    const char* name;
    enum { open, hidden, closed, minimized } window;
    bool opensScene;
};

const WindowCase kWindowCases[] = {
    {"OpenWindowComesForward", WindowCase::open, false},
    {"MinimizedWindowComesBack", WindowCase::minimized, false},
    {"HiddenWindowOpensTheMainScene", WindowCase::hidden, true},
    {"ClosedWindowOpensTheMainScene", WindowCase::closed, true},
};

class WindowItem : public MenuBarExtraViewTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(WindowItem, BringsTheWindowForwardOrOpensTheMainScene)
{
    auto window = std::make_unique<QWidget>();
    window->setWindowTitle(QStringLiteral("Bonkly"));
    window->resize(300, 200);
    window->show();
    QWidget other;
    other.resize(100, 100);
    switch (GetParam().window) {
    case WindowCase::open:
        other.show(); // another window on top
        other.activateWindow();
        break;
    case WindowCase::minimized:
        window->showMinimized();
        break;
    case WindowCase::hidden:
        window->hide();
        break;
    case WindowCase::closed:
        window.reset();
        break;
    }
    drain();
    choose(Kind::openWindow);
    if (GetParam().opensScene) {
        EXPECT_EQ(opened, std::vector<QString>{QStringLiteral("main")});
    } else {
        EXPECT_TRUE(opened.empty());
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(window->isVisible());
        EXPECT_FALSE(window->isMinimized());
        EXPECT_TRUE(testsupport::pumpUntil([&] { return QApplication::activeWindow() == window.get(); }));
    }
}

INSTANTIATE_TEST_SUITE_P(Views, WindowItem, ::testing::ValuesIn(kWindowCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuBarExtraViewTest, TheMenuAndPopupsAreNoWindowThatCanBecomeKey)
{
    view->menu()->popup({0, 0});
    drain();
    EXPECT_FALSE(MenuBarExtraView::canBecomeKeyWindow(view->menu()));
    view->menu()->hide();
    choose(Kind::openWindow);
    EXPECT_EQ(opened.size(), 1u);
}

} // namespace

namespace {

// The menu in each of its states, in both palettes.
struct MenuPictureCase {
    const char* name;
    State state;
    QPalette (*palette)();
};

const MenuPictureCase kMenuPictures[] = {
    {"stopped_light", State::stopped, &theme::lightPalette},
    {"listening_light", State::listening, &theme::lightPalette},
    {"paused_light", State::paused, &theme::lightPalette},
    {"stopped_dark", State::stopped, &theme::darkPalette},
    {"listening_dark", State::listening, &theme::darkPalette},
    {"paused_dark", State::paused, &theme::darkPalette},
};

class MenuPictures : public MenuBarExtraViewTest, public ::testing::WithParamInterface<MenuPictureCase> {};

TEST_P(MenuPictures, Render)
{
    QApplication::setPalette(GetParam().palette());
    view.reset();
    view = std::make_unique<MenuBarExtraView>(
        *vm, [](const QString&) {}, [] {});
    enter(GetParam().state);
    view->menu()->popup({20, 20});
    drain();
    ASSERT_TRUE(view->menu()->isVisible());
    ASSERT_TRUE(
        view->menu()->grab().save(traytest::screenshotPath(QStringLiteral("tray-menu-%1").arg(GetParam().name))));
    view->menu()->hide();
}

INSTANTIATE_TEST_SUITE_P(Views, MenuPictures, ::testing::ValuesIn(kMenuPictures),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
