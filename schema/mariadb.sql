-- Meridex FileTree schema, MariaDB (through MariaDB Connector/ODBC).
-- Columns stand in the order the recordset binds them by position. FileName is utf8mb4,
-- so that every Unicode character survives (MariaDB's NVARCHAR is the 3-byte utf8);
-- FileData holds values of any size the server's max_allowed_packet lets through.
CREATE TABLE FileTree (
    FileID INTEGER NOT NULL PRIMARY KEY,
    FileName VARCHAR(260) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin NOT NULL,
    FileIdentification VARBINARY(1000) NULL,
    OperationType INTEGER NOT NULL,
    FileData LONGBLOB NULL
) ENGINE=InnoDB;
CREATE TABLE SchemaVersion (
    Version INTEGER NOT NULL
) ENGINE=InnoDB;
INSERT INTO SchemaVersion (Version) VALUES (4);
