<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name></name>
    <message id="NOTIFICATION_TITLE">
        <source>VANDiR News</source>
        <translation>VANDiR ニュース</translation>
    </message>
    <message id="NOTIFICATION_ACTION_SHOW">
        <source>Show</source>
        <translation>表示</translation>
    </message>
    <message id="INFORMATION_ALERT_TITLE">
        <source>This news item has no web page to open.</source>
        <translation>このニュースには開くウェブページがありません。</translation>
    </message>
    <message id="WINDOW_TITLE">
        <source>VANDiR News</source>
        <translation>VANDiR ニュース</translation>
    </message>
    <message id="WINDOW_COLUMN_CATEGORY">
        <source>Category</source>
        <translation>カテゴリ</translation>
    </message>
    <message id="WINDOW_COLUMN_TITLE">
        <source>Title</source>
        <translation>タイトル</translation>
    </message>
    <message id="WINDOW_COLUMN_DATE">
        <source>Date</source>
        <translation>日付</translation>
    </message>
    <message id="MENU_SHOW_NEWS">
        <source>Show news</source>
        <translation>ニュースを表示</translation>
    </message>
    <message id="MENU_MARK_ALL_READ">
        <source>Mark all as read</source>
        <translation>すべて既読にする</translation>
    </message>
    <message id="MENU_SHOW_WEBSITE">
        <source>Open website</source>
        <translation>ウェブサイトを開く</translation>
    </message>
    <message id="MENU_QUIT">
        <source>Quit</source>
        <translation>終了</translation>
    </message>
    <message id="NOTIFICATION_ACTION_OPEN">
        <source>Open</source>
        <translation>開く</translation>
    </message>
    <message id="TRAY_TOOLTIP">
        <source>VANDiR News: %1 unread</source>
        <translation>VANDiR ニュース: 未読 %1 件</translation>
    </message>
    <message id="BROWSER_ALERT_TITLE">
        <source>No web browser could open this news item.</source>
        <translation>このニュースを開けるウェブブラウザがありません。</translation>
    </message>
    <message id="STATUS_UPDATED">
        <source>Updated %1</source>
        <translation>%1 に更新</translation>
    </message>
    <message id="STATUS_FAILED">
        <source>Could not update: %1</source>
        <translation>更新できませんでした: %1</translation>
    </message>
    <message id="STATUS_LAST_UPDATE">
        <source>(last update %1)</source>
        <translation>(最終更新 %1)</translation>
    </message>
    <message id="STATUS_STORED_LIST">
        <source>News of the last update (%1)</source>
        <translation>前回の更新のニュース (%1)</translation>
    </message>
    <message id="STATUS_NOT_UPDATED">
        <source>Not updated yet</source>
        <translation>まだ更新されていません</translation>
    </message>
    <message id="WINDOW_EMPTY">
        <source>No news yet</source>
        <translation>ニュースはまだありません</translation>
    </message>
    <message id="WINDOW_TABLE_NAME">
        <source>News items</source>
        <translation>ニュース一覧</translation>
    </message>
    <message id="WINDOW_TABLE_DESCRIPTION">
        <source>Double-click an item or press Return to open it in the web browser.</source>
        <translation>項目をダブルクリックするか Return キーを押すとウェブブラウザで開きます。</translation>
    </message>
    <message id="WINDOW_EMPTY_NAME">
        <source>News list</source>
        <translation>ニュース一覧</translation>
    </message>
    <message id="WINDOW_STATUS_NAME">
        <source>Update status</source>
        <translation>更新状況</translation>
    </message>
</context>
</TS>
