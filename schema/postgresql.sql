-- Meridex FileTree schema, PostgreSQL (through psqlODBC).
-- Columns stand in the order the recordset binds them by position.
CREATE TABLE FileTree (
    FileID INTEGER NOT NULL PRIMARY KEY,
    FileName VARCHAR(260) NOT NULL,
    FileIdentification BYTEA NULL,
    OperationType INTEGER NOT NULL,
    FileData BYTEA NULL
);
CREATE TABLE SchemaVersion (
    Version INTEGER NOT NULL
);
INSERT INTO SchemaVersion (Version) VALUES (4);
