// SPDX-License-Identifier: MIT
#pragma once

namespace tolvar {

// The program's entry in the desktop's task manager or dock, which shows the progress of long
// work on the taskbar button. Without a session bus, nothing is shown and nothing is said.
namespace LauncherEntry {

// `done` runs from 0 to 1.
void ShowProgress(double done);
void HideProgress();

} // namespace LauncherEntry

} // namespace tolvar
