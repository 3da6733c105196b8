#pragma once

#include <QtGlobal>

// Message codes of the server connection. Both directions of one code share the number.
enum ServerCode : quint32
{
    SM_LOGIN = 1,
    SM_SET_LISTEN_PORT = 2,
    SM_GET_PEER_ADDRESS = 3,
    SM_WATCH_USER = 5,
    SM_UNWATCH_USER = 6,
    SM_USER_STATUS = 7,
    SM_ROOM_CHAT = 13,
    SM_JOIN_ROOM = 14,
    SM_LEAVE_ROOM = 15,
    SM_USER_JOINED_ROOM = 16,
    SM_USER_LEFT_ROOM = 17,
    SM_CONNECT_TO_PEER = 18,
    SM_PRIVATE_MESSAGE = 22,
    SM_PRIVATE_MESSAGE_ACK = 23,
    SM_FILE_SEARCH = 26,
    SM_SET_STATUS = 28,
    SM_PING = 32,
    SM_SHARED_FOLDERS_FILES = 35,
    SM_GET_USER_STATS = 36,
    SM_RELOGGED = 41,
    SM_USER_SEARCH = 42,
    SM_ROOM_LIST = 64,
    SM_ADMIN_MESSAGE = 66,
    SM_PRIVILEGED_USERS = 69,
    SM_HAVE_NO_PARENT = 71,
    SM_PARENT_MIN_SPEED = 83,
    SM_PARENT_SPEED_RATIO = 84,
    SM_CHECK_PRIVILEGES = 92,
    SM_EMBEDDED_MESSAGE = 93,
    SM_ACCEPT_CHILDREN = 100,
    SM_POSSIBLE_PARENTS = 102,
    SM_WISHLIST_SEARCH = 103,
    SM_WISHLIST_INTERVAL = 104,
    SM_ROOM_SEARCH = 120,
    SM_UPLOAD_SPEED = 121,
    SM_GIVE_PRIVILEGES = 123,
    SM_BRANCH_LEVEL = 126,
    SM_BRANCH_ROOT = 127,
    SM_CHILD_DEPTH = 129,
    SM_RESET_DISTRIBUTED = 130,
    SM_PRIVATE_ROOM_USERS = 133,
    SM_PRIVATE_ROOM_ADD_USER = 134,
    SM_PRIVATE_ROOM_REMOVE_USER = 135,
    SM_PRIVATE_ROOM_CANCEL_MEMBERSHIP = 136,
    SM_PRIVATE_ROOM_DISOWN = 137,
    SM_PRIVATE_ROOM_ADDED = 139,
    SM_PRIVATE_ROOM_REMOVED = 140,
    SM_PRIVATE_ROOM_TOGGLE = 141,
    SM_PRIVATE_ROOM_ADD_OPERATOR = 143,
    SM_PRIVATE_ROOM_REMOVE_OPERATOR = 144,
    SM_PRIVATE_ROOM_OPERATOR_ADDED = 145,
    SM_PRIVATE_ROOM_OPERATOR_REMOVED = 146,
    SM_PRIVATE_ROOM_OPERATORS = 148,
    SM_RELATED_SEARCHES = 153,
    SM_CANT_CONNECT_TO_PEER = 1001,
    SM_CANT_CREATE_ROOM = 1003,
};

// A frame is uint32 length (of code and body), uint32 code, body. Anything longer closes the
// connection before a byte of it is kept.
constexpr quint32 kServerMaxFrameLength = 64u * 1024u * 1024u;

constexpr quint32 kLoginVersion = 160;
constexpr quint32 kLoginMinorVersion = 1;

// User status values of WatchUser and UserStatus answers, and of SetStatus.
enum ServerUserStatus : quint32
{
    USER_STATUS_OFFLINE = 0,
    USER_STATUS_AWAY = 1,
    USER_STATUS_ONLINE = 2,
};
