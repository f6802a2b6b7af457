// The user's settings files in <application data>\QvGameAssist: the room history with the
// auto-connect choice, the index of the next tip, and the chosen skin.
#pragma once

#include <vector>

#include "dui/DuiString.h"

// The settings folder, computed afresh on every call; empty when the user has no such folder.
CDuiString GetSettingsFolder();

// The tip to show next (0 when the file is missing or unreadable).
int ReadTipsIndex();
// Moves the tips file on to the next of the six tips.
void AdvanceTipsIndex();

// Appends the stored rooms, oldest first, to `rooms`; `autoConnect` keeps the caller's value when
// the file does not say.
void ReadRoomHistory(bool& autoConnect, std::vector<CDuiString>& rooms);
void WriteRoomHistory(const std::vector<CDuiString>& rooms, bool autoConnect);

// The skin index 0 to 3 (2 when the file is missing, unreadable or out of range).
int ReadSkinOption();
void SaveSkinOption(int skin);
