#include "messages/VirelWebsockMsg.h"

CDuiString stVirelMsg::GetNickName() const { return nickname; }

CDuiString stVirelMsgChat::GetMsgText() const {
  CDuiString text;
  text.Format(u" 说:%s", content.GetData());
  return text;
}

CDuiString stVirelMsgChat::GetMsgTextLeft(int nMaxLength) const {
  CDuiString text(u" 说:");
  text += content.Left(nMaxLength - text.GetLength());
  return text.Left(nMaxLength);
}

CDuiString stVirelMsgEnter::GetMsgText() const {
  CDuiString text;
  text.Format(u"进入房间");
  return text;
}

CDuiString stVirelMsgGift::GetMsgText() const {
  CDuiString text;
  text.Format(u" 送出 %I64d%s%s", static_cast<long long>(giftCount), unit.GetData(), giftName.GetData());
  return text;
}
