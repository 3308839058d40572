-- Meridex FileTree schema, SQLite (the embedded default and the demo).
-- Columns stand in the order the recordset binds them by position.
CREATE TABLE FileTree (
    FileID INTEGER NOT NULL PRIMARY KEY,
    FileName NVARCHAR(260) NOT NULL,
    FileIdentification VARBINARY(1000) NULL,
    OperationType INTEGER NOT NULL,
    FileData BLOB NULL
);
CREATE TABLE SchemaVersion (
    Version INTEGER NOT NULL
);
INSERT INTO SchemaVersion (Version) VALUES (4);
