#pragma once
// Starting Quillory when the user logs in: an XDG autostart entry,
// <config folder>/autostart/quillory.desktop.

#include <QString>

class LKLoginItemRegistry {
public:
    // The entry's path.
    static QString AutostartFile();
    // Writes the entry for `program` (the running program when empty).
    bool addAppAsLoginItem(const QString& program = QString());
    bool addAppAsLaunchAgents() { return addAppAsLoginItem(); }
    // Removes the entry when it starts `program` (the running program when
    // empty); an entry the user made for something else stays.
    bool deleteAppFromLoginItem(const QString& program = QString());
    bool deleteAppFromLaunchAgents() { return deleteAppFromLoginItem(); }
};
