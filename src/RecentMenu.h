#pragma once

#include <functional>
#include <string>
#include <vector>

class QMenu;
class QMimeData;

// Fills Project > Recent from the recent list, newest first: a project whose file is gone is
// left out; an entry reads "&1 name   folder", so that two projects of one name tell apart, and
// opens its project; Clear empties the list.
void FillRecentMenu(QMenu *menu, const std::vector<std::string> &recent,
                    const std::function<void(const std::string &)> &open,
                    const std::function<void()> &clear);

// The file a drag brings, when it brings one local file; "" otherwise.
std::string DroppedFile(const QMimeData *data);
