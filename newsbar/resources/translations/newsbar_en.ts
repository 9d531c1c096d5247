<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="NOTIFICATION_TITLE">
        <source>VANDiR News</source>
        <translation>VANDiR News</translation>
    </message>
    <message id="NOTIFICATION_ACTION_SHOW">
        <source>Show</source>
        <translation>Show</translation>
    </message>
    <message id="INFORMATION_ALERT_TITLE">
        <source>This news item has no web page to open.</source>
        <translation>This news item has no web page to open.</translation>
    </message>
    <message id="WINDOW_TITLE">
        <source>VANDiR News</source>
        <translation>VANDiR News</translation>
    </message>
    <message id="WINDOW_COLUMN_CATEGORY">
        <source>Category</source>
        <translation>Category</translation>
    </message>
    <message id="WINDOW_COLUMN_TITLE">
        <source>Title</source>
        <translation>Title</translation>
    </message>
    <message id="WINDOW_COLUMN_DATE">
        <source>Date</source>
        <translation>Date</translation>
    </message>
    <message id="MENU_SHOW_NEWS">
        <source>Show news</source>
        <translation>Show news</translation>
    </message>
    <message id="MENU_MARK_ALL_READ">
        <source>Mark all as read</source>
        <translation>Mark all as read</translation>
    </message>
    <message id="MENU_SHOW_WEBSITE">
        <source>Open website</source>
        <translation>Open website</translation>
    </message>
    <message id="MENU_QUIT">
        <source>Quit</source>
        <translation>Quit</translation>
    </message>
    <message id="NOTIFICATION_ACTION_OPEN">
        <source>Open</source>
        <translation>Open</translation>
    </message>
    <message id="TRAY_TOOLTIP">
        <source>VANDiR News: %1 unread</source>
        <translation>VANDiR News: %1 unread</translation>
    </message>
    <message id="BROWSER_ALERT_TITLE">
        <source>No web browser could open this news item.</source>
        <translation>No web browser could open this news item.</translation>
    </message>
    <message id="STATUS_UPDATED">
        <source>Updated %1</source>
        <translation>Updated %1</translation>
    </message>
    <message id="STATUS_FAILED">
        <source>Could not update: %1</source>
        <translation>Could not update: %1</translation>
    </message>
    <message id="STATUS_LAST_UPDATE">
        <source>(last update %1)</source>
        <translation>(last update %1)</translation>
    </message>
    <message id="STATUS_STORED_LIST">
        <source>News of the last update (%1)</source>
        <translation>News of the last update (%1)</translation>
    </message>
    <message id="STATUS_NOT_UPDATED">
        <source>Not updated yet</source>
        <translation>Not updated yet</translation>
    </message>
    <message id="WINDOW_EMPTY">
        <source>No news yet</source>
        <translation>No news yet</translation>
    </message>
    <message id="WINDOW_TABLE_NAME">
        <source>News items</source>
        <translation>News items</translation>
    </message>
    <message id="WINDOW_TABLE_DESCRIPTION">
        <source>Double-click an item or press Return to open it in the web browser.</source>
        <translation>Double-click an item or press Return to open it in the web browser.</translation>
    </message>
    <message id="WINDOW_EMPTY_NAME">
        <source>News list</source>
        <translation>News list</translation>
    </message>
    <message id="WINDOW_STATUS_NAME">
        <source>Update status</source>
        <translation>Update status</translation>
    </message>
</context>
</TS>
