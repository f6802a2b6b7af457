// Decoding of the chat server's JSON messages into records for the session's windows.
#pragma once

#include <cstddef>

#include "dui/DuiString.h"
#include "platform/win32.h"

class CWebSockSession;

// Parses one payload (exactly nLength bytes; nothing past them is read) and, by its MsgTag,
// posts chat, gift and entry records to the session's m_hWndMsg and sends user counts and online
// states to its m_hWndState, each stamped with connectGuid. Anything else is ignored.
void DecodeWebsockMessage(const CWebSockSession& session, const GUID& connectGuid, const char* pPayload,
                          size_t nLength);

// Replaces the emoticon codes ("[x_01good]"...) in a chat text by their words, everywhere.
void ReplaceEmotions(CDuiString& text);
