#pragma once
// The texts the model shows, by localisation key: one JSON table per
// language, {"KEY": "text", ...}, in Qt resources. The current language's
// table is asked first, then English, then the answer is "".

#include <QString>
#include <string>

QString L(const QString& key);
std::string LText(const char* key);

// Adds the tables found as DIR/<language>.json (a resource folder such as
// ":/quillory/app/lang" or a plain folder); later tables win over earlier
// ones for the same key.
void AddTextTables(const QString& dir);
// The language asked first ("de", "fr"); empty follows the system locale.
void SetTextLanguage(const QString& language);
