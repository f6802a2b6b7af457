// The heap records that carry everything from the worker threads to the windows. A record is
// filled by its producer, handed over once as the lParam of WM_WEBSOCK_NOTIFY and from then on
// owned by the receiving window, which deletes it through the root.
#pragma once

#include <cstdint>

#include "dui/DuiString.h"
#include "platform/win32.h"

struct stVirelWebsockMsg {
  stVirelWebsockMsg() = default;
  virtual ~stVirelWebsockMsg() = default;
  stVirelWebsockMsg(const stVirelWebsockMsg&) = delete;
  stVirelWebsockMsg& operator=(const stVirelWebsockMsg&) = delete;

  GUID connectGuid{};  // the session that produced the record
};

// A room message the overlay shows as GetNickName() followed by GetMsgText().
struct stVirelMsg : stVirelWebsockMsg {
  virtual CDuiString GetMsgText() const = 0;
  virtual CDuiString GetNickName() const;
  // The first nMaxLength units of each, without copying the rest of a long text.
  virtual CDuiString GetMsgTextLeft(int nMaxLength) const { return GetMsgText().Left(nMaxLength); }
  virtual CDuiString GetNickNameLeft(int nMaxLength) const { return GetNickName().Left(nMaxLength); }

  CDuiString nickname;
};

struct stVirelMsgChat : stVirelMsg {
  CDuiString GetMsgText() const override;
  CDuiString GetMsgTextLeft(int nMaxLength) const override;
  CDuiString GetNickNameLeft(int nMaxLength) const override { return nickname.Left(nMaxLength); }

  CDuiString content;  // emoticon codes already replaced
};

struct stVirelMsgEnter : stVirelMsg {
  CDuiString GetMsgText() const override;
};

struct stVirelMsgGift : stVirelMsg {
  CDuiString GetMsgText() const override;

  CDuiString unit;
  CDuiString giftName;
  // Zero unless the server sent a value: a gift without a usable count still prints a number.
  int64_t giftCount = 0;
  int64_t sendPrice = 0;
  int64_t rsvPrice = 0;
};

// The streamer's nickname, looked up while connecting.
struct stVirelUserInfo : stVirelWebsockMsg {
  CDuiString nickname;
};

// Status records of the session and the decoder.
struct stWebsockConnectErr : stVirelWebsockMsg {
  CDuiString errText;
};

struct stWebsockMainProgress : stVirelWebsockMsg {
  int32_t percent = 0;
  int32_t fromPercent = -1;  // -1: set at once; 0 or more: animate towards percent
  int32_t interval = 0;      // animation period in ms
};

struct stWebsockMsgUsercount : stVirelWebsockMsg {
  int32_t userCount = 0;
};

struct stWebsockMsgOnlineState : stVirelWebsockMsg {
  uint8_t online = 0;  // 1: the room is live
};
