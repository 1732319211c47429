-- The database and role of a team's Parlomatic, once, on the PostgreSQL machine:
--   sudo -u postgres psql -v password="'a long random password'" -f create-database.sql
-- The services make and update their tables themselves when they start.
CREATE ROLE parlomatic LOGIN PASSWORD :password;
CREATE DATABASE parlomatic OWNER parlomatic ENCODING 'UTF8' TEMPLATE template0;
