#pragma once

// What the updater window shows: its picture, which of its form widgets are up, and whether the
// firmware was written in this run. The window's pictures and widgets are all it says to the user;
// this names each combination they can make.
enum class WindowState {
    // The start picture and none of the form: at start-up, and after a pass found no bootloader.
    NoDevice,
    // A bootloader is held but none of the form is up: a run started without a press of Update,
    // writing or stopped short.
    UpdateMode,
    // Update, with the progress bar beside it while a press waits for its run, or after a run that
    // stopped short.
    UpdateOffered,
    // The progress bar alone: a run writing, or one that stopped short, until the next pass.
    Flashing,
    // The finish indicator for a controller found current.
    UpToDate,
    // The finish indicator after this run of the program wrote and verified every page.
    Finished,
    // A combination that no state has, such as both buttons at once: the window never shows one,
    // but code that moves its widgets itself can make one.
    Contradictory
};
