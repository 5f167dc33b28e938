-- Views that answer the IBM i catalog queries used to find a table's key.
-- Names are exposed as stored; identifiers are text so the driver describes
-- them as ordinary character columns.
CREATE SCHEMA qsys2;
CREATE SCHEMA sysibm;

CREATE VIEW qsys2.syscst AS
SELECT tc.constraint_schema::text AS constraint_schema,
       tc.constraint_name::text   AS constraint_name,
       tc.table_schema::text      AS table_schema,
       tc.table_name::text        AS table_name,
       tc.constraint_type::text   AS constraint_type
FROM information_schema.table_constraints tc;

CREATE VIEW qsys2.syskeycst AS
SELECT kcu.constraint_schema::text  AS constraint_schema,
       kcu.constraint_name::text    AS constraint_name,
       kcu.table_schema::text       AS table_schema,
       kcu.table_name::text         AS table_name,
       kcu.column_name::text        AS column_name,
       kcu.ordinal_position::int    AS ordinal_position
FROM information_schema.key_column_usage kcu;

-- The best row identifier: the columns of the table's first unique index
-- (by creation order), in index order.
CREATE VIEW sysibm.sqlspecialcolumns AS
SELECT n.nspname::text AS table_schem,
       t.relname::text AS table_name,
       a.attname::text AS column_name,
       k.ord::int      AS key_seq
FROM pg_index i
JOIN pg_class t ON t.oid = i.indrelid
JOIN pg_namespace n ON n.oid = t.relnamespace
CROSS JOIN LATERAL unnest(i.indkey) WITH ORDINALITY AS k(attnum, ord)
JOIN pg_attribute a ON a.attrelid = t.oid AND a.attnum = k.attnum
WHERE i.indisunique
  AND i.indexrelid = (SELECT min(i2.indexrelid) FROM pg_index i2
                      WHERE i2.indrelid = i.indrelid AND i2.indisunique)
ORDER BY n.nspname, t.relname, k.ord;

GRANT USAGE ON SCHEMA qsys2, sysibm TO PUBLIC;
GRANT SELECT ON ALL TABLES IN SCHEMA qsys2 TO PUBLIC;
GRANT SELECT ON ALL TABLES IN SCHEMA sysibm TO PUBLIC;
