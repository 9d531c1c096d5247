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
        <source>News</source>
        <translation>News</translation>
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
</context>
</TS>
