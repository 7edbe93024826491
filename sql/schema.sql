-- keelgate's tables in the gateway database (PostgreSQL 15).
-- Load with: psql -v ON_ERROR_STOP=1 -d kelp -f sql/schema.sql
-- Safe to load again: existing tables and rows are kept.
--
-- The inserts of traffic rows and blocked items name no columns, so the
-- column order of those two tables is binding. Times stored as text by
-- keelgate ("Dec 03 2026 23:27:00 UTC") are UTC; the timestamp columns keep
-- the zone so that "AT TIME ZONE 'UTC'" gives that wall-clock time back
-- whatever the session's TimeZone.

-- Aggregated traffic per client IP (types 1, 2) or sender (type 3).
CREATE TABLE IF NOT EXISTS t_sender_filter_conn_traffic (
    ip          text        NOT NULL DEFAULT '',
    sender      text        NOT NULL DEFAULT '',
    time_stamp  timestamptz NOT NULL,
    type        integer     NOT NULL,
    scanner_id  integer     NOT NULL,
    count       integer     NOT NULL
);
CREATE INDEX IF NOT EXISTS t_sender_filter_conn_traffic_type
    ON t_sender_filter_conn_traffic (type, scanner_id);

-- Automatic blocks: types 1 and 3 block `ip`, type 2 `sender`, from
-- blocked_start_time until expiration (seconds since the epoch, bigint so
-- that a block may end past 2038; sql/upgrade-bigint-times.sql widens the
-- columns of an older database).
CREATE TABLE IF NOT EXISTS t_sender_filter_blocked (
    enabled             boolean NOT NULL DEFAULT true,
    ip                  text    NOT NULL DEFAULT '',
    sender              text    NOT NULL DEFAULT '',
    type                integer NOT NULL,
    blocked_start_time  bigint  NOT NULL,
    expiration          bigint  NOT NULL
);
CREATE INDEX IF NOT EXISTS t_sender_filter_blocked_ip ON t_sender_filter_blocked (ip);
CREATE INDEX IF NOT EXISTS t_sender_filter_blocked_sender ON t_sender_filter_blocked (sender);
CREATE INDEX IF NOT EXISTS t_sender_filter_blocked_expiration ON t_sender_filter_blocked (expiration);

-- System events shown to the administrator; `id` keeps their order.
CREATE TABLE IF NOT EXISTS tb_system_event (
    id                 bigserial PRIMARY KEY,
    scanner_id         integer     NOT NULL,
    time_date          timestamptz NOT NULL,
    event_id           integer     NOT NULL,
    event_description  text        NOT NULL,
    admin_name         text
);

-- Version numbers by which the gateway notices changed configuration data.
CREATE TABLE IF NOT EXISTS tb_tables_version (
    tb_name  text    PRIMARY KEY,
    version  integer NOT NULL DEFAULT 0
);
-- "smpt" is the name the gateway has always used for this row.
INSERT INTO tb_tables_version (tb_name, version) VALUES ('smpt_traffic_throttling', 0)
    ON CONFLICT (tb_name) DO NOTHING;

-- Gateway-wide settings (the database side of config/ha/keelgate), e.g.
-- ('general', 'log_level', 'normal').
CREATE TABLE IF NOT EXISTS tb_global_setting (
    section  text NOT NULL,
    name     text NOT NULL,
    value    text,
    PRIMARY KEY (section, name)
);
