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
        <source>News</source>
        <translation>ニュース</translation>
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
</context>
</TS>
