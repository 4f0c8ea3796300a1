#pragma once

#include "ViewModels/ThwackoViewModel.h"

#include <string>

/// The one place that builds the view model's real dependencies: the motion sensor from the
/// backend the environment chooses (THWACKO_SENSOR, set by --sensor), the monitors over the
/// machine's mount table, power supplies and lid, the audio player, the process-wide clock,
/// user defaults, bundle and notification center, and the folder dialog. Main thread only; needs
/// a QApplication for the dialog.
ThwackoViewModel::Dependencies makeRealDependencies();

/// Runs a modal dialog that offers existing folders only, one at a time, titled `message`, over
/// the active window. Accepted only with a folder that exists.
ThwackoViewModel::FolderChoice chooseFolderWithDialog(const std::string& message);
