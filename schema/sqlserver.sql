-- Meridex FileTree schema, SQL Server (production). Not run here; the statements the
-- tool sends stay within what all three backends accept.
CREATE TABLE FileTree (
    FileID INT NOT NULL PRIMARY KEY,
    FileName NVARCHAR(260) NOT NULL,
    FileIdentification VARBINARY(1000) NULL,
    OperationType INT NOT NULL,
    FileData VARBINARY(MAX) NULL
);
CREATE TABLE SchemaVersion (
    Version INT NOT NULL
);
INSERT INTO SchemaVersion (Version) VALUES (4);
