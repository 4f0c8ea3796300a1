#include "views/AppWindow.h"

#include "ViewModels/ThwackoViewModel.h"
#include "views/ContentView.h"
#include "views/OnboardingView.h"
#include "views/Symbols.h"

#include <QIcon>

#include <QVBoxLayout>

AppWindow::AppWindow(ThwackoViewModel& vm, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , viewModel(vm)
{
    setObjectName(QStringLiteral("main"));
    setWindowTitle(tr("Bonkly"));
    setAccessibleName(tr("Bonkly"));
    QIcon icon;
    for (int side : {16, 32, 64, 128}) {
        icon.addPixmap(symbols::imagePixmap("BonklyLogo", QSize(side, side)));
    }
    setWindowIcon(icon);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    connect(&viewModel, &ThwackoViewModel::changed, this, &AppWindow::followFlag);
    followFlag();
}

QSize AppWindow::defaultSize() const { return viewModel.hasCompletedOnboarding() ? QSize(720, 520) : QSize(440, 640); }

void AppWindow::open()
{
    // A window opened anew (at launch, or after it was closed) takes the default size of the
    // content it opens with.
    if (!opened || !isVisible()) {
        resize(defaultSize().expandedTo(minimumSizeHint()));
        opened = true;
    }
    show();
    raise();
    activateWindow();
}

void AppWindow::followFlag()
{
    const bool completed = viewModel.hasCompletedOnboarding();
    if (completed && !content) {
        if (onboarding) {
            // Its disappear action runs before the main window view takes its place.
            onboarding->hide();
            layout()->removeWidget(onboarding);
            onboarding->deleteLater();
            onboarding = nullptr;
        }
        content = new ContentView(viewModel, this);
        layout()->addWidget(content);
        if (isVisible()) {
            content->show();
        }
    } else if (!completed && !onboarding) {
        if (content) {
            layout()->removeWidget(content);
            content->deleteLater();
            content = nullptr;
        }
        onboarding = new OnboardingView(viewModel, this);
        layout()->addWidget(onboarding);
        if (isVisible()) {
            onboarding->show();
        }
    }
    // The window grows to the new content's minimum; it never shrinks under the user.
    const QSize least = minimumSizeHint();
    if (isVisible() && (width() < least.width() || height() < least.height())) {
        resize(size().expandedTo(least));
    }
}

AppWindow* showAppWindow(ThwackoViewModel& viewModel)
{
    auto* window = new AppWindow(viewModel);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->open();
    return window;
}
