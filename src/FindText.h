#pragma once

#include <QString>

// The find field's rule: true when the title contains the typed text, letter case and accents
// aside. Both are decomposed (NFKD), stripped of non-spacing marks and case-folded, so "e" finds
// "É" and "fi" finds "ﬁ". A letter that does not decompose stays itself: "ss" does not find "ß",
// nor "o" find "ø". An empty text finds every title. Titles come converted from the code page.
bool TitleMatches(const QString &title, const QString &typed);

// The form both sides are compared in; a window that shows many titles may keep it per title.
QString FoldForFind(const QString &text);
