-- Widens the block times of t_sender_filter_blocked to bigint, for a
-- database made before those columns were bigint (integer ends in January
-- 2038: a block stored with a later expiration is refused there, and
-- keelgate-store exits 3 without storing it).
--
-- Run once, as the owner of the table, with keelgate-store idle:
--   psql -v ON_ERROR_STOP=1 -d kelp -f sql/upgrade-bigint-times.sql
-- Running it again, or on a database made from sql/schema.sql as it is now,
-- changes nothing. The first run rewrites the table under an exclusive lock:
-- workers reloading the automatic blocks meanwhile wait up to their query
-- timeout and keep the blocks they had.
BEGIN;
ALTER TABLE t_sender_filter_blocked
    ALTER COLUMN blocked_start_time TYPE bigint,
    ALTER COLUMN expiration TYPE bigint;
COMMIT;
