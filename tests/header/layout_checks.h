/* Size and offset checks of the public records, shared by the C and the C++
 * translation unit so both languages see the same layout. ZAVO_CHECK is
 * _Static_assert in C and static_assert in C++. */
#ifndef ZAVO_TEST_LAYOUT_CHECKS_H
#define ZAVO_TEST_LAYOUT_CHECKS_H

#include <stddef.h>

#include "zavo_api.h"

#define ZAVO_SIZE(T, n) ZAVO_CHECK(sizeof(T) == (n), #T " size")
#define ZAVO_OFF(T, m, n) ZAVO_CHECK(offsetof(T, m) == (n), #T "." #m " offset")

ZAVO_CHECK(sizeof(ZAVO_ERROR) == 4, "ZAVO_ERROR is 32 bits");
ZAVO_CHECK(sizeof(ZAVO_SUBSCRIPTION_UPDATE) == 4, "mode enum is 32 bits");
ZAVO_CHECK(ZAVO_SUCCESS == 0 && ZAVO_ERR_BUSY == -94 && ZAVO_ERR_INVALID == -98 &&
               ZAVO_ERR_NETWORK == -99,
           "result codes");
ZAVO_CHECK(ZAVO_SUBSCRIBE_ALL == 0 && ZAVO_SUBSCRIBE_REPLACE == 1 && ZAVO_SUBSCRIBE_ADD == 2 &&
               ZAVO_SUBSCRIBE_REMOVE == 3,
           "subscription modes");
ZAVO_CHECK(ZAVO_MSG_CONNECT == 1 && ZAVO_MSG_DISCONNECT == 2 && ZAVO_MSG_LOGIN == 3 &&
               ZAVO_MSG_BASEINFO_FINISH == 4 && ZAVO_MSG_REBUILD_FINISH == 5 &&
               ZAVO_MSG_OPEN_FAILED == 6 && ZAVO_OPEN_STEP_CONNECT == 1 &&
               ZAVO_OPEN_STEP_LOGIN == 2 && ZAVO_OPEN_STEP_LOGIN_TIMEOUT == 3 &&
               ZAVO_OPEN_STEP_JOIN == 4,
           "system kinds");
ZAVO_CHECK(ZAVO_MSG_INDEX_SNAPSHOT == 100 && ZAVO_MSG_SECURITY_SNAPSHOT == 101 &&
               ZAVO_MSG_FUTURE_SNAPSHOT == 102 && ZAVO_MSG_TRADE_DETAIL == 103 &&
               ZAVO_MSG_ORDER_DETAIL == 104 && ZAVO_MSG_ORDER_QUEUE == 105 &&
               ZAVO_MSG_SH_ORDER_DETAIL == 106 && ZAVO_MSG_RAW_DATA == 200,
           "data kinds");
ZAVO_CHECK(ZAVO_FLAG_TRADE_DETAIL == 2 && ZAVO_FLAG_ORDER_DETAIL == 4 && ZAVO_FLAG_ORDER_QUEUE == 8,
           "subscribe flags");

/* Settings. */
ZAVO_SIZE(ZAVO_OpenSetting, 272);
ZAVO_OFF(ZAVO_OpenSetting, ConnectID, 0);
ZAVO_OFF(ZAVO_OpenSetting, MulticastIP, 4);
ZAVO_OFF(ZAVO_OpenSetting, MulticastPort, 36);
ZAVO_OFF(ZAVO_OpenSetting, LocalIP, 38);
ZAVO_OFF(ZAVO_OpenSetting, ServerIP, 70);
ZAVO_OFF(ZAVO_OpenSetting, ServerPort, 102);
ZAVO_OFF(ZAVO_OpenSetting, UserName, 104);
ZAVO_OFF(ZAVO_OpenSetting, Password, 168);
ZAVO_OFF(ZAVO_OpenSetting, DataHandler, 232);
ZAVO_OFF(ZAVO_OpenSetting, SystemHandler, 240);
ZAVO_OFF(ZAVO_OpenSetting, SubscribedMarkets, 248);
ZAVO_OFF(ZAVO_OpenSetting, SubscribedCodes, 256);
ZAVO_OFF(ZAVO_OpenSetting, SubscribeFlags, 264);
#if defined(_WIN32)
/* The Windows settings have no CpuID: tail padding instead. */
#else
ZAVO_OFF(ZAVO_OpenSetting, CpuID, 268);
#endif

#if defined(_WIN32)
ZAVO_SIZE(ZAVO_RawOpenSetting, 256);
#else
ZAVO_SIZE(ZAVO_RawOpenSetting, 264);
ZAVO_OFF(ZAVO_RawOpenSetting, CpuID, 256);
#endif
ZAVO_OFF(ZAVO_RawOpenSetting, ConnectID, 0);
ZAVO_OFF(ZAVO_RawOpenSetting, MulticastIP, 4);
ZAVO_OFF(ZAVO_RawOpenSetting, MulticastPort, 36);
ZAVO_OFF(ZAVO_RawOpenSetting, LocalIP, 38);
ZAVO_OFF(ZAVO_RawOpenSetting, ServerIP, 70);
ZAVO_OFF(ZAVO_RawOpenSetting, ServerPort, 102);
ZAVO_OFF(ZAVO_RawOpenSetting, UserName, 104);
ZAVO_OFF(ZAVO_RawOpenSetting, Password, 168);
ZAVO_OFF(ZAVO_RawOpenSetting, DataHandler, 232);
ZAVO_OFF(ZAVO_RawOpenSetting, SystemHandler, 240);
ZAVO_OFF(ZAVO_RawOpenSetting, SubscribedMarkets, 248);

/* Message and system records. */
ZAVO_SIZE(ZAVO_MSG, 32);
ZAVO_OFF(ZAVO_MSG, MsgType, 0);
ZAVO_OFF(ZAVO_MSG, MsgSize, 4);
ZAVO_OFF(ZAVO_MSG, MsgTime, 8);
ZAVO_OFF(ZAVO_MSG, ConnectID, 12);
ZAVO_OFF(ZAVO_MSG, SeqNum, 16);
ZAVO_OFF(ZAVO_MSG, MsgData, 24);

ZAVO_SIZE(ZAVO_ConnectResult, 36);
ZAVO_OFF(ZAVO_ConnectResult, Address, 0);
ZAVO_OFF(ZAVO_ConnectResult, Port, 32);
ZAVO_OFF(ZAVO_ConnectResult, State, 34);

ZAVO_SIZE(ZAVO_DisconnectResult, 34);
ZAVO_OFF(ZAVO_DisconnectResult, Address, 0);
ZAVO_OFF(ZAVO_DisconnectResult, Port, 32);

ZAVO_SIZE(ZAVO_LoginResult, 214);
ZAVO_OFF(ZAVO_LoginResult, Address, 0);
ZAVO_OFF(ZAVO_LoginResult, Port, 32);
ZAVO_OFF(ZAVO_LoginResult, ErrorID, 34);
ZAVO_OFF(ZAVO_LoginResult, ErrorMsg, 36);
ZAVO_OFF(ZAVO_LoginResult, ItemCount, 164);
ZAVO_OFF(ZAVO_LoginResult, Items, 166);

ZAVO_SIZE(ZAVO_BaseInfoFinish, 260);
ZAVO_OFF(ZAVO_BaseInfoFinish, MarketCount, 128);
ZAVO_OFF(ZAVO_BaseInfoFinish, Markets, 132);
ZAVO_OFF(ZAVO_BaseInfoFinish, CodeCount, 196);
ZAVO_OFF(ZAVO_BaseInfoFinish, LastUpdate, 228);

ZAVO_SIZE(ZAVO_RebuildResult, 24);
ZAVO_OFF(ZAVO_RebuildResult, BeginSeq, 0);
ZAVO_OFF(ZAVO_RebuildResult, EndSeq, 8);
ZAVO_OFF(ZAVO_RebuildResult, Status, 16);
ZAVO_SIZE(ZAVO_OpenFailure, 256);
ZAVO_OFF(ZAVO_OpenFailure, Step, 0);
ZAVO_OFF(ZAVO_OpenFailure, SystemError, 4);
ZAVO_OFF(ZAVO_OpenFailure, Reason, 8);

ZAVO_SIZE(ZAVO_RawDataRef, 16);
ZAVO_OFF(ZAVO_RawDataRef, ExchangeID, 0);
ZAVO_OFF(ZAVO_RawDataRef, Length, 4);
ZAVO_OFF(ZAVO_RawDataRef, Data, 8);

/* Market-data records: the sizes are those carried in MsgSize; the offsets
 * follow from the member order under natural alignment, and are checked so
 * that a reordered or retyped member cannot slip through. */
ZAVO_SIZE(ZAVO_SecuritySnapShot, 536);
ZAVO_OFF(ZAVO_SecuritySnapShot, ExchangeID, 16);
ZAVO_OFF(ZAVO_SecuritySnapShot, Date, 20);
ZAVO_OFF(ZAVO_SecuritySnapShot, TradingDay, 24);
ZAVO_OFF(ZAVO_SecuritySnapShot, Time, 28);
ZAVO_OFF(ZAVO_SecuritySnapShot, Status, 32);
ZAVO_OFF(ZAVO_SecuritySnapShot, PreClosePx, 40);
ZAVO_OFF(ZAVO_SecuritySnapShot, MatchPx, 72);
ZAVO_OFF(ZAVO_SecuritySnapShot, AskPrice, 80);
ZAVO_OFF(ZAVO_SecuritySnapShot, AskVol, 160);
ZAVO_OFF(ZAVO_SecuritySnapShot, BidPrice, 240);
ZAVO_OFF(ZAVO_SecuritySnapShot, BidVol, 320);
ZAVO_OFF(ZAVO_SecuritySnapShot, NumTrades, 400);
ZAVO_OFF(ZAVO_SecuritySnapShot, TotalVolumeTrade, 408);
ZAVO_OFF(ZAVO_SecuritySnapShot, WeightedAvgAskPrice, 448);
ZAVO_OFF(ZAVO_SecuritySnapShot, IOPV, 456);
ZAVO_OFF(ZAVO_SecuritySnapShot, YieldToMaturity, 460);
ZAVO_OFF(ZAVO_SecuritySnapShot, HighLimited, 464);
ZAVO_OFF(ZAVO_SecuritySnapShot, SYL1, 480);
ZAVO_OFF(ZAVO_SecuritySnapShot, SD1, 488);
ZAVO_OFF(ZAVO_SecuritySnapShot, SD2, 492);
ZAVO_OFF(ZAVO_SecuritySnapShot, AfterPrice, 496);
ZAVO_OFF(ZAVO_SecuritySnapShot, AfterMatchItems, 520);
ZAVO_OFF(ZAVO_SecuritySnapShot, LocalDelay, 528);

ZAVO_SIZE(ZAVO_IndexSnapShot, 88);
ZAVO_OFF(ZAVO_IndexSnapShot, Time, 28);
ZAVO_OFF(ZAVO_IndexSnapShot, PreCloseIndex, 32);
ZAVO_OFF(ZAVO_IndexSnapShot, Turnover, 80);

ZAVO_SIZE(ZAVO_FutureSnapShot, 336);
ZAVO_OFF(ZAVO_FutureSnapShot, Status, 32);
ZAVO_OFF(ZAVO_FutureSnapShot, PreOpenInterest, 40);
ZAVO_OFF(ZAVO_FutureSnapShot, LowLimited, 144);
ZAVO_OFF(ZAVO_FutureSnapShot, PreDelta, 152);
ZAVO_OFF(ZAVO_FutureSnapShot, CurrDelta, 156);
ZAVO_OFF(ZAVO_FutureSnapShot, AskPrice, 160);
ZAVO_OFF(ZAVO_FutureSnapShot, BidVol, 280);
ZAVO_OFF(ZAVO_FutureSnapShot, AuctionPrice, 320);
ZAVO_OFF(ZAVO_FutureSnapShot, AuctionQty, 328);

#if defined(_WIN32)
ZAVO_SIZE(ZAVO_TradeDetail, 88);
#else
ZAVO_SIZE(ZAVO_TradeDetail, 96);
ZAVO_OFF(ZAVO_TradeDetail, TradeChannel, 84);
ZAVO_OFF(ZAVO_TradeDetail, BizIndex, 88);
#endif
ZAVO_OFF(ZAVO_TradeDetail, Date, 20);
ZAVO_OFF(ZAVO_TradeDetail, Time, 24);
ZAVO_OFF(ZAVO_TradeDetail, TradeSequence, 32);
ZAVO_OFF(ZAVO_TradeDetail, TradeQty, 48);
ZAVO_OFF(ZAVO_TradeDetail, TradeTurnover, 56);
ZAVO_OFF(ZAVO_TradeDetail, ExecType, 80);
ZAVO_OFF(ZAVO_TradeDetail, BSFlag, 81);

ZAVO_SIZE(ZAVO_OrderDetail, 56);
ZAVO_OFF(ZAVO_OrderDetail, OrderSequence, 32);
ZAVO_OFF(ZAVO_OrderDetail, OrderQty, 48);
ZAVO_OFF(ZAVO_OrderDetail, OrderSide, 52);
ZAVO_OFF(ZAVO_OrderDetail, OrderType, 53);

ZAVO_SIZE(ZAVO_OrderQueue, 856);
ZAVO_OFF(ZAVO_OrderQueue, OrderSide, 32);
ZAVO_OFF(ZAVO_OrderQueue, OrderPrice, 40);
ZAVO_OFF(ZAVO_OrderQueue, NumOrders, 48);
ZAVO_OFF(ZAVO_OrderQueue, OrderQueueSize, 52);
ZAVO_OFF(ZAVO_OrderQueue, OrderQueue, 56);

ZAVO_SIZE(ZAVO_SHOrderDetail, 72);
ZAVO_OFF(ZAVO_SHOrderDetail, DataStatus, 16);
ZAVO_OFF(ZAVO_SHOrderDetail, ChannelNo, 20);
ZAVO_OFF(ZAVO_SHOrderDetail, OrderIndex, 24);
ZAVO_OFF(ZAVO_SHOrderDetail, Time, 28);
ZAVO_OFF(ZAVO_SHOrderDetail, OrderNo, 32);
ZAVO_OFF(ZAVO_SHOrderDetail, Balance, 48);
ZAVO_OFF(ZAVO_SHOrderDetail, BSFlag, 56);
ZAVO_OFF(ZAVO_SHOrderDetail, OrderType, 57);
ZAVO_OFF(ZAVO_SHOrderDetail, BizIndex, 64);

ZAVO_SIZE(ZAVO_CODEINFO, 88);
ZAVO_OFF(ZAVO_CODEINFO, ExchangeID, 16);
ZAVO_OFF(ZAVO_CODEINFO, KvelCode, 17);
ZAVO_OFF(ZAVO_CODEINFO, Text, 49);
ZAVO_OFF(ZAVO_CODEINFO, Value, 84);

/* The option entry must begin with exactly the code-info layout, because the
 * code-table query returns its leading part as a ZAVO_CODEINFO. */
ZAVO_SIZE(ZAVO_OPTION_CODEINFO, 192);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, KvelCode, 17);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Text, 49);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Value, 84);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Text2, 88);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Text3, 120);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Flag1, 152);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Value2, 156);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Flag2, 160);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Flag4, 162);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Value3, 164);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Value4, 168);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Value5, 176);
ZAVO_OFF(ZAVO_OPTION_CODEINFO, Value7, 184);

#endif
