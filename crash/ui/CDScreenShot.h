// The screenshot a report can carry: the whole screen, or only the
// program's own windows, in the colour depth the settings ask for, saved as
// "screenShot.png". Runs on the GUI thread.
#pragma once

#include <QImage>

#include <string>

// The image format a ScrShotDepth gives: up to 8 bits indexed colours, up to
// 16 bits 16-bit colour, anything above true colour.
QImage::Format ScreenShotFormat(int depth);

// Takes the screenshot and saves it into folder (ending in '/') as
// "screenShot.png"; returns the file's path, or empty when depth is not
// above 0 or nothing could be captured. With appOnly, the program's visible
// windows on their own; except is left out (the exception box itself).
std::string TakeCDScreenShot(int depth, bool appOnly, const std::string& folder, const QWidget* except = nullptr);
